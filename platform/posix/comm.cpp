// The Win32 communications functions the serial port layer uses, over
// termios and the modem-line ioctls. "COMn" names the device given as key
// COMn in section [Ports] of the profile, or else /dev/ttyS<n-1>.
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

struct BaudSpeed {
    DWORD baudRate;
    speed_t speed;
};

const BaudSpeed BaudSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

PosixPort *PortOf(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : static_cast<PosixPort *>(handle);
}

int SpeedOf(DWORD baudRate, speed_t &speed) {
    for (const BaudSpeed &entry : BaudSpeeds) {
        if (entry.baudRate == baudRate) {
            speed = entry.speed;
            return 1;
        }
    }
    return 0;
}

DWORD BaudRateOf(speed_t speed) {
    for (const BaudSpeed &entry : BaudSpeeds) {
        if (entry.speed == speed) {
            return entry.baudRate;
        }
    }
    return 0;
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

tcflag_t CharacterSize(BYTE byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

BYTE ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t ParityFlags(BYTE parity) {
    switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
#ifdef CMSPAR
    case MARKPARITY: return PARENB | PARODD | CMSPAR;
    case SPACEPARITY: return PARENB | CMSPAR;
#endif
    default: return 0;
    }
}

BYTE ParityOf(tcflag_t cflag) {
    if (!(cflag & PARENB)) {
        return NOPARITY;
    }
#ifdef CMSPAR
    if (cflag & CMSPAR) {
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    }
#endif
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

// Binary raw mode: no output post-processing, no input translation, no echo,
// no signals; flow control only as the DCB asks.
void SetRawLine(termios &settings, const DCB &dcb) {
    settings.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                  IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~tcflag_t(OPOST);
    settings.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    settings.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    settings.c_cflag |= CLOCAL | CREAD | CharacterSize(dcb.ByteSize) | ParityFlags(dcb.Parity);
    settings.c_cflag |= dcb.StopBits == ONESTOPBIT ? 0 : CSTOPB;
    settings.c_cflag |= dcb.fOutxCtsFlow ? CRTSCTS : 0;
    settings.c_iflag |= (dcb.fParity ? INPCK : 0) | (dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0);
    settings.c_cc[VSTART] = cc_t(dcb.XonChar);
    settings.c_cc[VSTOP] = cc_t(dcb.XoffChar);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
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
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->BaudRate = BaudRateOf(cfgetospeed(&settings));
    dcb->fBinary = 1;
    dcb->fParity = (settings.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (settings.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fDtrControl = port->dtrControl;
    dcb->fOutX = (settings.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (settings.c_iflag & IXOFF) ? 1 : 0;
    dcb->fRtsControl = port->rtsControl;
    dcb->ByteSize = ByteSizeOf(settings.c_cflag);
    dcb->Parity = ParityOf(settings.c_cflag);
    dcb->StopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->XonChar = char(settings.c_cc[VSTART]);
    dcb->XoffChar = char(settings.c_cc[VSTOP]);
    dcb->EofChar = char(settings.c_cc[VEOF]);
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
    PosixPort *port = PortOf(file);
    speed_t speed;
    termios settings;
    if (port == nullptr || dcb == nullptr || !SpeedOf(dcb->BaudRate, speed) || dcb->ByteSize < 5 ||
        dcb->ByteSize > 8 || tcgetattr(port->fd, &settings) != 0) {
        return FALSE;
    }
    SetRawLine(settings, *dcb);
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(port->fd, TCSANOW, &settings) != 0) {
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
