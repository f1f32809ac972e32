// The Win32 communications functions the serial port layer uses, over
// termios and the modem-line ioctls. "COMn" names the device given as key
// COMn in section [Ports] of the profile, or else /dev/ttyS<n-1>.
#include "platform/posix/line_settings.h"
#include "platform/posix/profile.h"
#include "platform/win32_api.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// What a handle stands for: the open device and the modem-line settings the
// last SetCommState asked for.
struct PosixPort {
    int fd;
    DWORD dtrControl;
    DWORD rtsControl;
};

// RTS handshake on receive: RTS drops above three quarters of the 2048-byte
// input queue and rises again below half of it.
const int InputQueueSize = 2048;
const int RtsRaiseBelow = InputQueueSize / 2;
const int RtsLowerAbove = InputQueueSize * 3 / 4;

PosixPort *PortOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<PosixPort *>(handle);
}

// "COMn" with n in decimal gives the device path; nothing else is a port.
int DevicePath(const char *name, std::string &path) {
    if (std::strncmp(name, "COM", 3) != 0 || name[3] == '\0' ||
        std::strspn(name + 3, "0123456789") != std::strlen(name + 3)) {
        return 0;
    }
    if (ReadProfileValue("Ports", name, path) && !path.empty()) {
        return 1;
    }
    const long number = std::strtol(name + 3, nullptr, 10);
    if (number < 1) {
        return 0;
    }
    path = "/dev/ttyS" + std::to_string(number - 1);
    return 1;
}

int SetModemLine(int fd, int line, bool raised) {
    return ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

int ApplyRtsHandshake(const PosixPort &port, int inputQueued) {
    if (inputQueued < RtsRaiseBelow) {
        return SetModemLine(port.fd, TIOCM_RTS, true);
    }
    return inputQueued > RtsLowerAbove ? SetModemLine(port.fd, TIOCM_RTS, false) : 1;
}

int ApplyModemLines(const PosixPort &port) {
    const int dtr = SetModemLine(port.fd, TIOCM_DTR, port.dtrControl != DTR_CONTROL_DISABLE);
    if (port.rtsControl == RTS_CONTROL_HANDSHAKE) {
        int inputQueued = 0;
        return ioctl(port.fd, FIONREAD, &inputQueued) == 0 && ApplyRtsHandshake(port, inputQueued) &&
               dtr;
    }
    return SetModemLine(port.fd, TIOCM_RTS, port.rtsControl == RTS_CONTROL_ENABLE) && dtr;
}

// Opens the device for exclusive use: non-blocking so that a missing carrier
// cannot hold up the open, then blocking again so that writes are synchronous.
int OpenExclusive(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    termios settings;
    const bool usable = isatty(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                        ioctl(fd, TIOCEXCL) == 0 &&
                        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0 &&
                        tcgetattr(fd, &settings) == 0;
    if (usable) {
        settings.c_cflag |= CLOCAL | CREAD;
        if (tcsetattr(fd, TCSANOW, &settings) == 0) {
            return fd;
        }
    }
    close(fd);
    return -1;
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    std::string path;
    if (fileName == nullptr || !DevicePath(fileName, path)) {
        return INVALID_HANDLE_VALUE;
    }
    const int fd = OpenExclusive(path);
    if (fd < 0) {
        return INVALID_HANDLE_VALUE;
    }
    return new PosixPort{fd, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE};
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    return PortOf(file) != nullptr;
}

BOOL SetCommMask(HANDLE file, DWORD) {
    return PortOf(file) != nullptr;
}

BOOL GetCommState(HANDLE file, DCB *dcb) {
    PosixPort *port = PortOf(file);
    termios settings;
    if (port == nullptr || dcb == nullptr || tcgetattr(port->fd, &settings) != 0) {
        return FALSE;
    }
    ReadLineSettings(settings, *dcb);
    dcb->fDtrControl = port->dtrControl;
    dcb->fRtsControl = port->rtsControl;
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
    PosixPort *port = PortOf(file);
    termios settings;
    if (port == nullptr || dcb == nullptr || tcgetattr(port->fd, &settings) != 0 ||
        !ApplyDcb(*dcb, settings) || tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return FALSE;
    }
    port->dtrControl = dcb->fDtrControl;
    port->rtsControl = dcb->fRtsControl;
    // A device without modem lines (a pseudo-terminal) refuses these; the
    // line settings above are in force all the same.
    return ApplyModemLines(*port) ? TRUE : FALSE;
}

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status) {
    PosixPort *port = PortOf(file);
    int outputQueued = 0;
    int inputQueued = 0;
    if (port == nullptr || ioctl(port->fd, TIOCOUTQ, &outputQueued) != 0 ||
        ioctl(port->fd, FIONREAD, &inputQueued) != 0) {
        return FALSE;
    }
    if (port->rtsControl == RTS_CONTROL_HANDSHAKE) {
        ApplyRtsHandshake(*port, inputQueued);
    }
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        std::memset(status, 0, sizeof *status);
        status->cbInQue = DWORD(inputQueued);
        status->cbOutQue = DWORD(outputQueued);
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten, void *) {
    PosixPort *port = PortOf(file);
    DWORD done = 0;
    BOOL result = port != nullptr ? TRUE : FALSE;
    while (result && done < bytesToWrite) {
        const ssize_t count =
            write(port->fd, static_cast<const char *>(buffer) + done, bytesToWrite - done);
        if (count > 0) {
            done += DWORD(count);
        } else if (!(count < 0 && errno == EINTR)) {
            result = FALSE;
        }
    }
    if (bytesWritten != nullptr) {
        *bytesWritten = done;
    }
    return result;
}

BOOL CloseHandle(HANDLE object) {
    PosixPort *port = PortOf(object);
    if (port == nullptr) {
        return FALSE;
    }
    // A pseudo-terminal keeps its exclusive flag beyond the last close.
    ioctl(port->fd, TIOCNXCL);
    const int closed = close(port->fd);
    delete port;
    return closed == 0 ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
    timespec remaining = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
