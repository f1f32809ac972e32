#include "receive/line.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The uploader's line: 38400 baud, 8 data bits, no parity, one stop bit, every
// byte passed through as it is, no flow control, modem lines ignored.
int SetUploadLine(int fd) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        return 0;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return cfsetispeed(&settings, B38400) == 0 && cfsetospeed(&settings, B38400) == 0 &&
           tcsetattr(fd, TCSANOW, &settings) == 0;
}

int Fail(int fd, const std::string &what, std::string &error) {
    error = what + ": " + std::strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

} // namespace

int OpenSerialDevice(const char *path, std::string &error) {
    // Non-blocking, so that a device waiting for carrier cannot hold up the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return Fail(fd, std::string("Cannot open ") + path, error);
    }
    if (!isatty(fd)) {
        errno = ENOTTY;
        return Fail(fd, std::string("Cannot use ") + path, error);
    }
    if (!SetUploadLine(fd) || tcflush(fd, TCIFLUSH) != 0) {
        return Fail(fd, std::string("Cannot set up ") + path, error);
    }
    return fd;
}

int OpenPseudoTerminal(std::string &farEndPath, std::string &error) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        return Fail(fd, "Cannot make a pseudo-terminal", error);
    }
    const char *name = ptsname(fd);
    if (name == nullptr) {
        return Fail(fd, "Cannot name the pseudo-terminal", error);
    }
    farEndPath = name;
    // Kept open for the life of the process and never read: while it is open
    // the line stays up between the sender's open and close.
    const int farEnd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (farEnd < 0 || !SetUploadLine(farEnd)) {
        Fail(fd, "Cannot set up " + farEndPath, error);
        if (farEnd >= 0) {
            close(farEnd);
        }
        return -1;
    }
    return fd;
}

long ReadWithin(int fd, std::uint8_t *buffer, std::size_t size, int timeoutMillis) {
    pollfd ready = {fd, POLLIN, 0};
    for (;;) {
        const int polled = poll(&ready, 1, timeoutMillis);
        if (polled == 0) {
            return 0;
        }
        const long count = polled > 0 ? long(read(fd, buffer, size)) : -1;
        if (count > 0) {
            return count;
        }
        // A signal, or a device that woke the poll with nothing to give yet.
        if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
            return -1;
        }
    }
}
