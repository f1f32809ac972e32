// The tool as a user runs it: a process with a command line, program files in
// its folder, pseudo-terminals as serial devices, a profile, and what it
// prints and returns. Every COM number a case uses is mapped to a
// pseudo-terminal of its own, so that no case can reach a real device.
#include "tests/e2e/target.h"
#include "tests/support/reference_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/file.h>

namespace {

const std::string Sending = "Sending program...Please wait some seconds";
const std::string Sent = "Program Sended";

std::vector<std::string> TrimmedLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        const std::size_t last = line.find_last_not_of(" \t\r");
        lines.push_back(first == std::string::npos ? "" : line.substr(first, last - first + 1));
    }
    return lines;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

// The value of HANDSHAKE in [TuvComDll], or "(missing)".
std::string HandshakeValue(const std::string &profile) {
    bool inSection = false;
    for (const std::string &line : TrimmedLines(profile)) {
        if (!line.empty() && line[0] == '[') {
            inSection = Upper(line) == "[TUVCOMDLL]";
        } else if (inSection && Upper(line.substr(0, line.find('='))) == "HANDSHAKE") {
            const std::string value = line.substr(line.find('=') + 1);
            return value.substr(value.find_first_not_of(' ') == std::string::npos
                                    ? value.size()
                                    : value.find_first_not_of(' '));
        }
    }
    return "(missing)";
}

// Every line of the profile before the run, but the HANDSHAKE line, is still
// there afterwards, in the same order.
void ExpectOtherLinesKept(const std::string &before, const std::string &after) {
    const std::vector<std::string> afterLines = TrimmedLines(after);
    auto next = afterLines.begin();
    for (const std::string &line : TrimmedLines(before)) {
        if (line.empty() || Upper(line).rfind("HANDSHAKE", 0) == 0) {
            continue;
        }
        next = std::find(next, afterLines.end(), line);
        ASSERT_NE(next, afterLines.end()) << "lost line: " << line << "\nprofile:\n" << after;
    }
}

Bytes RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::uint8_t &byte : bytes) {
        byte = std::uint8_t(random());
    }
    return bytes;
}

class Environment : public testing::Environment {
public:
    void SetUp() override {
        if (TargetUnavailable().empty()) {
            PrepareTarget();
        }
    }
};

const testing::Environment *const SharedSetUp = testing::AddGlobalTestEnvironment(new Environment);

class EndToEnd : public testing::Test {
protected:
    fs::path folder;
    Pty line = {-1, -1, ""};

    void SetUp() override {
        const std::string unavailable = TargetUnavailable();
        if (!unavailable.empty()) {
            GTEST_SKIP() << Traits().name << " build skipped: " << unavailable;
        }
        folder = MakeTemporaryFolder("vintrel-e2e");
        StartCase(folder);
        line = OpenPty();
    }

    void TearDown() override {
        ClosePty(line);
        if (!folder.empty()) {
            fs::remove_all(folder);
        }
    }

    void PutProgram(const Bytes &header, const Bytes &image, const std::string &name = "prog") {
        WriteBytes(folder / (name + ".hea"), header);
        WriteBytes(folder / (name + ".bin"), image);
    }

    // Adds lines to the profile, after the port mappings.
    static void AppendProfile(const std::string &text) {
        fs::create_directories(ProfileFile().parent_path());
        std::ofstream(ProfileFile(), std::ios::binary | std::ios::app) << text;
    }
};

TEST_F(EndToEnd, UploadsTheFrameAt38400Baud8N1AndCreatesTheHandshakeKey) {
    // Bytes a cooked terminal line would change: line ends, XON/XOFF, EOF.
    const Bytes image = {0x0A, 0x0D, 0x11, 0x13, 0x04, 0x1A, 0x7F, 0xFF, 0x00, 0x0A};
    const Bytes header = Reference::Header(std::uint32_t(image.size()), 0x0A0D1113);
    PutProgram(header, image);
    MapPort(2, line.path);
    const std::string before = ReadText(ProfileFile());

    const RunResult result = RunTool({"prog", "2"}, {&line});
    EXPECT_EQ(result.output, Sending + Sent);
    EXPECT_EQ(result.status, 14);
    ASSERT_EQ(result.lines[0], Reference::Frame(header, image));

    const termios settings = LineSettings(line);
    EXPECT_EQ(cfgetospeed(&settings), speed_t(B38400));
    EXPECT_EQ(settings.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);

    const std::string after = ReadText(ProfileFile());
    EXPECT_EQ(HandshakeValue(after), "NO");
    ExpectOtherLinesKept(before, after);
}

TEST_F(EndToEnd, AFullSizeImageArrivesIntact) {
    const Bytes image = RandomBytes(131072, 1);
    PutProgram(Reference::Header(131072), image);
    MapPort(3, line.path);
    const RunResult result = RunTool({"prog", "3"}, {&line});
    EXPECT_EQ(result.status, 14);
    EXPECT_TRUE(result.lines[0] == Reference::Frame(Reference::Header(131072), image))
        << "received " << result.lines[0].size() << " bytes";
}

struct HandshakeCase {
    const char *stored; // null: no key
    bool receiveHandshake;
    const char *afterwards;
};

TEST_F(EndToEnd, TheHandshakeSettingChoosesRtsAndIsWrittenOnlyWhenMissingOrTest) {
    const HandshakeCase cases[] = {
        {nullptr, false, "NO"}, {"NO", false, "NO"},   {"TEST", false, "NO"},
        {"YES", true, "YES"},   {"no", true, "no"},
    };
    PutProgram(Reference::Header(3), {1, 2, 3});
    for (const HandshakeCase &c : cases) {
        const fs::path caseFolder = folder / (c.stored != nullptr ? c.stored : "missing");
        fs::create_directories(caseFolder);
        fs::copy(folder / "prog.hea", caseFolder);
        fs::copy(folder / "prog.bin", caseFolder);
        StartCase(caseFolder);
        MapPort(2, line.path);
        AppendProfile("[Other]\nKEY=value\n");
        if (c.stored != nullptr) {
            AppendProfile(std::string("[TuvComDll]\nHANDSHAKE=") + c.stored + "\n");
        }
        const std::string before = ReadText(ProfileFile());
        const RunResult result = RunTool({"prog", "2"}, {&line});
        const char *shown = c.stored != nullptr ? c.stored : "(missing)";
        EXPECT_EQ(result.status, 14) << shown;
        EXPECT_EQ(result.lines[0].size(), 20u) << shown;
        const std::string after = ReadText(ProfileFile());
        EXPECT_EQ(HandshakeValue(after), c.afterwards) << shown;
        ExpectOtherLinesKept(before, after);
        const termios settings = LineSettings(line);
        const bool crtscts = (settings.c_cflag & CRTSCTS) != 0;
        EXPECT_EQ(crtscts, c.receiveHandshake && Traits().handshakeSetsCrtscts) << shown;
    }
}

struct PortCase {
    std::vector<std::string> arguments;
    int portIndex; // which of COM1, COM2, COM3 receives the frame
};

TEST_F(EndToEnd, TheArgumentsChooseThePort) {
    Pty com2 = OpenPty();
    Pty com3 = OpenPty();
    MapPort(1, line.path);
    MapPort(2, com2.path);
    MapPort(3, com3.path);
    const Bytes image = {5, 6, 7};
    PutProgram(Reference::Header(3), image);
    const Bytes frame = Reference::Frame(Reference::Header(3), image);
    const PortCase cases[] = {
        {{"prog"}, 0},
        {{"prog", "2"}, 1},
        {{"prog", "3"}, 2},
        {{"prog", "3", "extra"}, 0},
        {{"prog", " +3junk"}, 2},
        {{"prog", "4294967298"}, 1},
    };
    for (const PortCase &c : cases) {
        const RunResult result = RunTool(c.arguments, {&line, &com2, &com3});
        EXPECT_EQ(result.status, 14) << c.arguments.back();
        for (int port = 0; port < 3; ++port) {
            EXPECT_EQ(result.lines[std::size_t(port)], port == c.portIndex ? frame : Bytes())
                << c.arguments.back() << " on COM" << port + 1;
        }
    }
    ClosePty(com2);
    ClosePty(com3);
}

struct RefusalCase {
    const char *what;
    bool headerFile;
    Bytes header;
    std::size_t imageSize; // SIZE_MAX: no image file
    std::vector<std::string> arguments;
    std::string message;
};

TEST_F(EndToEnd, RefusalsSendNothingAndLeaveTheProfileAlone) {
    const std::string usage = "Parameter error: Vintrel filename comport";
    const std::string cannotOpen = "Error opening filename: Vintrel filename comport";
    const RefusalCase cases[] = {
        {"no argument", true, Reference::Header(4), 4, {}, usage},
        {"missing header file", false, {}, 4, {"prog", "1"}, cannotOpen},
        {"base name too long", true, Reference::Header(4), 4, {std::string(508, 'p'), "1"},
         cannotOpen},
        {"short header", true, Bytes(7, 0), 4, {"prog", "1"}, "Error reading program header"},
        {"image length too large", true, Reference::Header(131073), 131073, {"prog", "1"},
         "Program too large"},
        {"missing image file", true, Reference::Header(4), SIZE_MAX, {"prog", "1"},
         "Error reading program image"},
        {"short image file", true, Reference::Header(4), 3, {"prog", "1"},
         "Error reading program image"},
        {"port without a device", true, Reference::Header(4), 4, {"prog", "5"},
         "Invalid Com port"},
        {"port without a mapping", true, Reference::Header(4), 4, {"prog", "none"},
         "Invalid Com port"},
        {"negative port", true, Reference::Header(4), 4, {"prog", "-1"}, "Invalid Com port"},
        {"port above 255", true, Reference::Header(4), 4, {"prog", "256"}, "Invalid Com port"},
    };
    MapPort(1, line.path);
    MapPort(5, (folder / "no-such-device").string());
    const std::string profile = ReadText(ProfileFile());
    for (const RefusalCase &c : cases) {
        fs::remove(folder / "prog.hea");
        fs::remove(folder / "prog.bin");
        if (c.headerFile) {
            WriteBytes(folder / "prog.hea", c.header);
        }
        if (c.imageSize != SIZE_MAX) {
            WriteBytes(folder / "prog.bin", Bytes(c.imageSize, 0x42));
        }
        if (c.arguments.size() == 2 && c.arguments[0].size() > 500) {
            WriteBytes(folder / (c.arguments[0] + ".hea"), Reference::Header(0));
        }
        const RunResult result = RunTool(c.arguments, {&line});
        EXPECT_EQ(result.output, c.message) << c.what;
        EXPECT_EQ(result.status, int(c.message.size())) << c.what;
        EXPECT_TRUE(result.lines[0].empty()) << c.what;
        EXPECT_EQ(ReadText(ProfileFile()), profile) << c.what;
    }
}

TEST_F(EndToEnd, APortHeldByAnotherProgramIsInvalid) {
    if (!Traits().honoursForeignPortLocks) {
        GTEST_SKIP() << Traits().name << " build: locks of other programs are not seen";
    }
    PutProgram(Reference::Header(4), {1, 2, 3, 4});
    MapPort(2, line.path);
    const std::string profile = ReadText(ProfileFile());
    ASSERT_EQ(flock(line.slave, LOCK_EX | LOCK_NB), 0);
    RunResult result = RunTool({"prog", "2"}, {&line});
    EXPECT_EQ(result.output, "Invalid Com port");
    EXPECT_EQ(result.status, 16);
    EXPECT_TRUE(result.lines[0].empty());
    EXPECT_EQ(ReadText(ProfileFile()), profile);

    flock(line.slave, LOCK_UN);
    result = RunTool({"prog", "2"}, {&line});
    EXPECT_EQ(result.status, 14);
}

TEST_F(EndToEnd, ADeviceThatVanishesMidTransferIsReportedWithoutHanging) {
    PutProgram(Reference::Header(131072), RandomBytes(131072, 2));
    MapPort(2, line.path);
    RunOptions options;
    options.closeLineAfter = 4096;
    options.timeoutSeconds = 20;
    const RunResult result = RunTool({"prog", "2"}, {&line}, options);
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.output, Sending + "Error sending program");
    EXPECT_EQ(result.status, 21);
    EXPECT_LT(result.seconds, 10.0);
}

} // namespace
