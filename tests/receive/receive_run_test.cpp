// The receiving end run as a program: over a pseudo-terminal of its own, on a
// terminal device it is given, and refusing what it cannot use.
#include "tests/support/reference_frame.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<std::uint8_t> Bytes;
typedef std::vector<std::string> Arguments;

struct Receiver {
    pid_t pid;
    std::FILE *output;
};

struct Outcome {
    int status;
    std::string output;
};

// Starts vintrel-receive with its standard output and error on one pipe.
Receiver StartReceiver(const Arguments &arguments) {
    int ends[2];
    if (pipe(ends) != 0) {
        return {-1, nullptr};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(ends[1], STDOUT_FILENO);
        dup2(ends[1], STDERR_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::vector<char *> argv = {const_cast<char *>(VINTREL_RECEIVE_PATH)};
        for (const std::string &argument : arguments) {
            argv.push_back(const_cast<char *>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(ends[1]);
    return {pid, fdopen(ends[0], "r")};
}

std::string ReadLine(const Receiver &receiver) {
    std::string line;
    int c;
    while ((c = std::fgetc(receiver.output)) != EOF && c != '\n') {
        line += char(c);
    }
    return line;
}

// Collects the rest of the output and the exit status.
Outcome Finish(const Receiver &receiver, std::string output) {
    int c;
    while ((c = std::fgetc(receiver.output)) != EOF) {
        output += char(c);
    }
    std::fclose(receiver.output);
    int status = 0;
    waitpid(receiver.pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

Outcome RunReceiver(const Arguments &arguments) {
    return Finish(StartReceiver(arguments), "");
}

void WriteAll(int fd, const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        ASSERT_GT(count, 0);
        done += std::size_t(count);
    }
}

std::string MakeTempDir() {
    char path[] = "/tmp/vintrel-receive-test-XXXXXX";
    return mkdtemp(path) != nullptr ? path : "";
}

Bytes ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

// Runs vintrel-receive --pty, sends the bytes to the pseudo-terminal named in
// its [Ports] line, and closes it again, as the uploader would.
Outcome SendOverPty(const std::string &outBase, const Bytes &bytes, const Arguments &extra) {
    // Time-outs long enough that only the cases about them ever meet them.
    Arguments arguments = {"--pty", "--com", "7", "--out", outBase};
    arguments.insert(arguments.end(), {"--wait", "5", "--timeout", "5"});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const Receiver receiver = StartReceiver(arguments);
    std::string output = ReadLine(receiver) + "\n";
    const std::string portsLine = ReadLine(receiver);
    output += portsLine + "\n";
    if (portsLine.compare(0, 5, "COM7=") != 0) {
        ADD_FAILURE() << "no [Ports] line in: " << output;
        return Finish(receiver, output);
    }
    const int fd = open(portsLine.substr(5).c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << portsLine;
    if (fd >= 0) {
        WriteAll(fd, bytes);
        close(fd);
    }
    return Finish(receiver, output);
}

Bytes EveryByteValue() {
    Bytes image;
    for (int value = 0; value < 256; ++value) {
        image.push_back(std::uint8_t(value));
    }
    return image;
}

Bytes RandomBytes(std::size_t count) {
    std::mt19937 random(11);
    Bytes bytes(count);
    for (std::uint8_t &byte : bytes) {
        byte = std::uint8_t(random());
    }
    return bytes;
}

Bytes Appended(Bytes bytes, const Bytes &more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

const std::uint32_t HeloTag = 0x4F4C4548;

struct PtyCase {
    const char *name;
    Bytes header;
    Bytes image;
    Bytes sent;
    Arguments extra;
    int status;
    std::string lastLine;
};

TEST(ReceiveOverPty, ChecksTheFrameAndKeepsWhatArrived) {
    const Bytes everyByte = EveryByteValue();
    const Bytes header = Reference::Header(256, HeloTag);
    const Bytes frame = Reference::Frame(header, everyByte);
    const Bytes largest = RandomBytes(131072);
    const Bytes largestHeader = Reference::Header(131072);
    Bytes wrongImage = frame;
    wrongImage[13 + 100] ^= 0x10;
    const std::string everyByteValid =
        "Received 256 image bytes: header AddSum 0185 RotSum 98B3 OK, "
        "image AddSum 7F80 RotSum C1FF OK";
    const PtyCase cases[] = {
        // Line feeds, carriage returns, XON/XOFF, interrupt and end-of-file
        // characters all pass untouched on a raw line.
        {"every byte value", header, everyByte, frame, {}, 0, everyByteValid},
        {"largest image", largestHeader, largest, Reference::Frame(largestHeader, largest), {}, 0,
         ""},
        {"image changed on the way", header, Bytes(wrongImage.begin() + 13, wrongImage.end() - 4),
         wrongImage, {}, 1,
         "Received 256 image bytes: header AddSum 0185 RotSum 98B3 OK, image AddSum 7F80 RotSum "
         "C1FF WRONG (its bytes give AddSum 7F90 RotSum 3C00)"},
        {"bytes after the frame", header, everyByte, Appended(frame, {'S', 0, 0}), {}, 1,
         everyByteValid + ", then 3 more bytes after the frame"},
        {"text instead of a frame", {}, {}, {'h', 'e', 'l', 'l', 'o', '\n'}, {}, 2,
         "Not an upload frame: the first byte is 0x68, not 0x53 (S)"},
        {"length beyond the image buffer", {}, {},
         Reference::Frame(Reference::Header(131073), {}), {}, 2,
         "Not an upload frame: ImageLength 131073 is above 131072"},
        {"frame cut short", {}, {}, Bytes(frame.begin(), frame.begin() + 20),
         {"--timeout", "0.5"}, 2,
         "Frame cut short: 20 of 273 bytes arrived, then nothing arrived for 0.5 s"},
        {"nothing at all", {}, {}, {}, {"--wait", "0.3"}, 2, "No frame: nothing arrived for 0.3 s"},
        {"output not writable", {}, {}, frame, {"--out", "/nonexistent/received"}, 3,
         "vintrel-receive: cannot write /nonexistent/received.hea"},
    };
    for (const PtyCase &ptyCase : cases) {
        const std::string dir = MakeTempDir();
        const Outcome outcome = SendOverPty(dir + "/got", ptyCase.sent, ptyCase.extra);
        EXPECT_EQ(outcome.status, ptyCase.status) << ptyCase.name << "\n" << outcome.output;
        const std::size_t lastLineStart = outcome.output.rfind('\n', outcome.output.size() - 2) + 1;
        const std::string lastLine = outcome.output.substr(lastLineStart);
        if (!ptyCase.lastLine.empty()) {
            EXPECT_EQ(lastLine, ptyCase.lastLine + "\n") << ptyCase.name;
        }
        // What arrived is kept whether or not its check values hold.
        const bool kept = ptyCase.status <= 1;
        EXPECT_EQ(FileExists(dir + "/got.hea"), kept) << ptyCase.name;
        if (kept) {
            EXPECT_EQ(ReadFile(dir + "/got.hea"), ptyCase.header) << ptyCase.name;
            EXPECT_EQ(ReadFile(dir + "/got.bin"), ptyCase.image) << ptyCase.name;
        }
        std::remove((dir + "/got.hea").c_str());
        std::remove((dir + "/got.bin").c_str());
        rmdir(dir.c_str());
    }
}

// A terminal device given by path, here the far end of a pseudo-terminal the
// test holds: the receiver must make it raw and read what the near end sends.
TEST(ReceiveOnDevice, ReadsARawFrameFromTheDevice) {
    const int nearEnd = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(nearEnd, 0);
    ASSERT_EQ(grantpt(nearEnd), 0);
    ASSERT_EQ(unlockpt(nearEnd), 0);
    const std::string dir = MakeTempDir();
    const Receiver receiver =
        StartReceiver({ptsname(nearEnd), "--out", dir + "/got", "--wait", "5", "--timeout", "5"});
    const std::string listening = ReadLine(receiver);
    EXPECT_EQ(listening, std::string("Listening on ") + ptsname(nearEnd) + " at 38400 baud, 8N1.");
    const Bytes image = EveryByteValue();
    WriteAll(nearEnd, Reference::Frame(Reference::Header(256, HeloTag), image));
    const Outcome outcome = Finish(receiver, listening);
    close(nearEnd);
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    EXPECT_EQ(ReadFile(dir + "/got.bin"), image);
    std::remove((dir + "/got.hea").c_str());
    std::remove((dir + "/got.bin").c_str());
    rmdir(dir.c_str());
}

struct RefusalCase {
    Arguments arguments;
    int status;
    const char *output;
};

TEST(ReceiveCommandLine, RefusesWhatItCannotListenOn) {
    const RefusalCase cases[] = {
        {{}, 3, "Usage: vintrel-receive [options] DEVICE\n"},
        {{"--pty", "/dev/null"}, 3, "Usage:"},
        {{"--pty", "--timeout", "0"}, 3, "Usage:"},
        {{"--pty", "--wait", "soon"}, 3, "Usage:"},
        {{"--pty", "--com", "256"}, 3, "Usage:"},
        {{"--pty", "--out"}, 3, "Usage:"},
        {{"--pty", "--speed", "9600"}, 3, "Usage:"},
        {{"/dev/null"}, 3, "vintrel-receive: Cannot use /dev/null: "},
        {{"/nonexistent/ttyUSB9"}, 3, "vintrel-receive: Cannot open /nonexistent/ttyUSB9: "},
        {{"--help"}, 0, "Usage:"},
    };
    for (const RefusalCase &refusal : cases) {
        const Outcome outcome = RunReceiver(refusal.arguments);
        const std::string shown = refusal.arguments.empty() ? "(none)" : refusal.arguments[0];
        EXPECT_EQ(outcome.status, refusal.status) << shown;
        EXPECT_EQ(outcome.output.rfind(refusal.output, 0), 0u) << shown << "\n" << outcome.output;
    }
}

} // namespace
