// vintrel-receive: the receiving end of an upload. Listens on a serial device
// or a pseudo-terminal of its own, takes one upload frame, checks it, writes
// the program it carried as <out>.hea and <out>.bin, and says what arrived.
#include "receive/frame_check.h"
#include "receive/line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int ExitValid = 0;
const int ExitWrongFrame = 1;
const int ExitNoFrame = 2;
const int ExitTrouble = 3;

// Bytes that follow the frame this soon belong to it: a sender that adds any
// has sent them back to back with the rest.
const int TrailingQuietMillis = 500;
const int MaxPortNumber = 255;

const char Usage[] =
    "Usage: vintrel-receive [options] DEVICE\n"
    "       vintrel-receive [options] --pty\n"
    "Waits for one upload frame at 38400 baud, 8N1, checks its check values and\n"
    "writes the program it carries as BASE.hea and BASE.bin.\n"
    "  --pty            make a pseudo-terminal and print the [Ports] line mapping it\n"
    "  --com N          the COM number that line maps (default 2)\n"
    "  --out BASE       base name of the files written (default received)\n"
    "  --timeout SEC    give up when the line stays quiet this long within a frame\n"
    "                   (default 3)\n"
    "  --wait SEC       give up when no frame starts this long (default: wait)\n"
    "Exit status: 0 valid frame, 1 check values wrong, 2 no frame, 3 other trouble.\n";

struct ReceiveOptions {
    const char *device;
    bool usePty;
    bool help;
    int comNumber;
    std::string outBase;
    int quietMillis;
    int firstByteMillis;
};

std::uint8_t Frame[MaxFrameSize];

int ParseSeconds(const char *text, int &millis) {
    char *end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds > 0) || seconds > 86400) {
        return 0;
    }
    millis = int(std::ceil(seconds * 1000));
    return 1;
}

int ParsePortNumber(const char *text, int &number) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > MaxPortNumber) {
        return 0;
    }
    number = int(value);
    return 1;
}

// Takes one option with its value, if it is one; returns the number of
// arguments used, 0 when the argument is no known option or lacks its value.
int ParseOption(int argc, char **argv, int at, ReceiveOptions &options) {
    const char *name = argv[at];
    if (std::strcmp(name, "--pty") == 0) {
        options.usePty = true;
        return 1;
    }
    if (std::strcmp(name, "--help") == 0) {
        options.help = true;
        return 1;
    }
    if (at + 1 >= argc) {
        return 0;
    }
    const char *value = argv[at + 1];
    int parsed = 0;
    if (std::strcmp(name, "--out") == 0) {
        options.outBase = value;
        parsed = *value != '\0';
    } else if (std::strcmp(name, "--com") == 0) {
        parsed = ParsePortNumber(value, options.comNumber);
    } else if (std::strcmp(name, "--timeout") == 0) {
        parsed = ParseSeconds(value, options.quietMillis);
    } else if (std::strcmp(name, "--wait") == 0) {
        parsed = ParseSeconds(value, options.firstByteMillis);
    }
    return parsed ? 2 : 0;
}

// Returns 1 when the command line names exactly one line to listen on, or
// asks for help.
int ParseOptions(int argc, char **argv, ReceiveOptions &options) {
    options = ReceiveOptions{nullptr, false, false, 2, "received", 3000, -1};
    for (int at = 1; at < argc;) {
        if (std::strncmp(argv[at], "--", 2) != 0) {
            if (options.device != nullptr) {
                return 0;
            }
            options.device = argv[at++];
            continue;
        }
        const int used = ParseOption(argc, argv, at, options);
        if (used == 0) {
            return 0;
        }
        at += used;
    }
    return options.help || options.usePty != (options.device != nullptr);
}

void Say(const std::string &line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string SecondsText(int millis) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", millis / 1000.0);
    return text;
}

// Opens the line and says where it listens. Returns the descriptor, or -1.
int OpenLine(const ReceiveOptions &options) {
    std::string path = options.usePty ? "" : options.device;
    std::string error;
    const int fd =
        options.usePty ? OpenPseudoTerminal(path, error) : OpenSerialDevice(options.device, error);
    if (fd < 0) {
        std::fprintf(stderr, "vintrel-receive: %s\n", error.c_str());
        return -1;
    }
    if (options.usePty) {
        Say("Listening on " + path + " at 38400 baud, 8N1. Map it in the profile under [Ports]:");
        Say("COM" + std::to_string(options.comNumber) + "=" + path);
    } else {
        Say("Listening on " + path + " at 38400 baud, 8N1.");
    }
    return fd;
}

// Says why no complete frame arrived: `read` is 0 for silence, -1 for a line
// that closed.
int ReportNoFrame(std::size_t count, long read, const ReceiveOptions &options) {
    const int waited = count == 0 ? options.firstByteMillis : options.quietMillis;
    const std::string ending =
        read < 0 ? "the line closed" : "nothing arrived for " + SecondsText(waited);
    Say(count == 0 ? "No frame: " + ending : DescribeCutShort(Frame, count) + ", then " + ending);
    return ExitNoFrame;
}

// Reads up to the end of the frame. Returns ExitValid once it is complete,
// or else says why not and returns the exit status.
int ReadFrame(int fd, const ReceiveOptions &options) {
    std::size_t count = 0;
    std::size_t needed = 1;
    int waitMillis = options.firstByteMillis;
    std::string reason;
    while (count < needed) {
        const long read = ReadWithin(fd, Frame + count, needed - count, waitMillis);
        if (read <= 0) {
            return ReportNoFrame(count, read, options);
        }
        count += std::size_t(read);
        needed = FrameSizeSoFar(Frame, count, reason);
        if (needed == 0) {
            Say(reason);
            return ExitNoFrame;
        }
        waitMillis = options.quietMillis;
    }
    return ExitValid;
}

std::size_t CountTrailingBytes(int fd) {
    std::uint8_t scratch[256];
    std::size_t count = 0;
    long read;
    while ((read = ReadWithin(fd, scratch, sizeof scratch, TrailingQuietMillis)) > 0) {
        count += std::size_t(read);
    }
    return count;
}

int WriteBytes(const std::string &path, const std::uint8_t *bytes, std::size_t length) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "vintrel-receive: cannot write %s\n", path.c_str());
        return 0;
    }
    const bool written = std::fwrite(bytes, 1, length, file) == length;
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "vintrel-receive: cannot write %s\n", path.c_str());
        return 0;
    }
    return 1;
}

// The program as the sender's files held it: the header, then the image.
int WriteProgram(const std::string &base, const FrameVerdict &verdict) {
    return WriteBytes(base + ".hea", Frame + 1, ProgramHeaderSize) &&
           WriteBytes(base + ".bin", Frame + HeaderSectionSize, verdict.imageLength);
}

int ReceiveFrame(int fd, const ReceiveOptions &options) {
    const int status = ReadFrame(fd, options);
    if (status != ExitValid) {
        return status;
    }
    const FrameVerdict verdict = CheckFrame(Frame, CountTrailingBytes(fd));
    if (!WriteProgram(options.outBase, verdict)) {
        return ExitTrouble;
    }
    Say(DescribeVerdict(verdict));
    return FrameValid(verdict) ? ExitValid : ExitWrongFrame;
}

} // namespace

int main(int argc, char **argv) {
    ReceiveOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(Usage, stderr);
        return ExitTrouble;
    }
    if (options.help) {
        std::fputs(Usage, stdout);
        return ExitValid;
    }
    const int fd = OpenLine(options);
    return fd < 0 ? ExitTrouble : ReceiveFrame(fd, options);
}
