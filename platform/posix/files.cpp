#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Opening a FIFO for reading waits for a writer unless it is non-blocking;
// reads block again afterwards, so a FIFO that is fed still reads in full.
std::FILE *OpenForReading(const char *fileName) {
    const int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status;
    std::FILE *file = nullptr;
    if (fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode) &&
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "rb");
    }
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
