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
#include <csignal>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>

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

// The value of HANDSHAKE in the first [TuvComDll] section, or "(missing)".
std::string HandshakeValue(const std::string &profile) {
    bool inSection = false;
    bool sectionSeen = false;
    for (const std::string &line : TrimmedLines(profile)) {
        if (!line.empty() && line[0] == '[') {
            if (sectionSeen) {
                break;
            }
            inSection = sectionSeen = Upper(line) == "[TUVCOMDLL]";
        } else if (inSection && Upper(line.substr(0, line.find('='))) == "HANDSHAKE") {
            const std::string value = line.substr(line.find('=') + 1);
            const std::size_t first = value.find_first_not_of(' ');
            return first == std::string::npos ? "" : value.substr(first);
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
    void TearDown() override {
        if (TargetUnavailable().empty()) {
            FinishTarget();
        }
    }
};

const testing::Environment *const SharedSetUp = testing::AddGlobalTestEnvironment(new Environment);

// One run of the tool: what it printed and returned, and what each pty got.
struct ToolRun : RunResult {
    std::vector<Bytes> lines;
};

class EndToEnd : public testing::Test {
protected:
    fs::path root;   // removed with everything in it after the case
    fs::path folder; // the tool's working folder, with the program files
    Pty line = {-1, -1, ""};

    void SetUp() override {
        const std::string unavailable = TargetUnavailable();
        if (!unavailable.empty()) {
            GTEST_SKIP() << Traits().name << " build skipped: " << unavailable;
        }
        root = MakeTemporaryFolder("vintrel-e2e");
        BeginCase(root);
        line = OpenPty();
    }

    void TearDown() override {
        ClosePty(line);
        if (!root.empty()) {
            fs::remove_all(root);
        }
    }

    void BeginCase(const fs::path &caseFolder) {
        folder = caseFolder;
        StartCase(folder);
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

    LineCapture RunTools(const std::vector<std::vector<std::string>> &argumentLists,
                         const std::vector<Pty *> &ptys, RunOptions options = RunOptions()) const {
        std::vector<std::vector<std::string>> commands;
        for (const std::vector<std::string> &arguments : argumentLists) {
            commands.push_back(ToolCommand(arguments));
        }
        const std::vector<std::string> environment = ToolEnvironment();
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
        return RunPrograms(commands, folder, ptys, options);
    }

    ToolRun RunTool(const std::vector<std::string> &arguments, const std::vector<Pty *> &ptys,
                    const RunOptions &options = RunOptions()) const {
        const LineCapture capture = RunTools({arguments}, ptys, options);
        ToolRun run;
        static_cast<RunResult &>(run) = capture.runs.at(0);
        run.lines = capture.lines;
        return run;
    }
};

TEST_F(EndToEnd, UploadsTheFrameAt38400Baud8N1AndCreatesTheHandshakeKey) {
    // Bytes a cooked terminal line would change: line ends, XON/XOFF, EOF.
    const Bytes image = {0x0A, 0x0D, 0x11, 0x13, 0x04, 0x1A, 0x7F, 0xFF, 0x00, 0x0A};
    const Bytes header = Reference::Header(std::uint32_t(image.size()), 0x0A0D1113);
    PutProgram(header, image);
    MapPort(2, line.path);
    const std::string before = ReadText(ProfileFile());

    const ToolRun result = RunTool({"prog", "2"}, {&line});
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
    const ToolRun result = RunTool({"prog", "3"}, {&line});
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
        const fs::path caseFolder = root / (c.stored != nullptr ? c.stored : "missing");
        fs::create_directories(caseFolder);
        fs::copy(root / "prog.hea", caseFolder);
        fs::copy(root / "prog.bin", caseFolder);
        BeginCase(caseFolder);
        MapPort(2, line.path);
        AppendProfile("[Other]\nKEY=value\n");
        if (c.stored != nullptr) {
            AppendProfile(std::string("[TuvComDll]\nHANDSHAKE=") + c.stored + "\n");
        }
        const std::string before = ReadText(ProfileFile());
        const ToolRun result = RunTool({"prog", "2"}, {&line});
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
        const ToolRun result = RunTool(c.arguments, {&line, &com2, &com3});
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
        const ToolRun result = RunTool(c.arguments, {&line});
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
    ToolRun result = RunTool({"prog", "2"}, {&line});
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
    const ToolRun result = RunTool({"prog", "2"}, {&line}, options);
    EXPECT_FALSE(result.hung);
    EXPECT_EQ(result.output, Sending + "Error sending program");
    EXPECT_EQ(result.status, 21);
    EXPECT_LT(result.seconds, 10.0);
}

} // namespace

// Hostile input and faults: each case says what the tool must do.
namespace {

TEST_F(EndToEnd, AToolKilledMidTransferLeavesPortAndProfileUsable) {
    const Bytes image = RandomBytes(131072, 3);
    PutProgram(Reference::Header(131072), image);
    MapPort(2, line.path);
    for (int signal : {SIGINT, SIGTERM, SIGKILL}) {
        RunOptions options;
        options.signalAfter = 1000;
        options.signal = signal;
        const ToolRun killed = RunTool({"prog", "2"}, {&line}, options);
        EXPECT_NE(killed.status, 14) << strsignal(signal);
        EXPECT_LT(killed.lines[0].size(), 131072u + 17) << strsignal(signal);
        const std::string profile = ReadText(ProfileFile());

        const ToolRun next = RunTool({"prog", "2"}, {&line});
        EXPECT_EQ(next.status, 14) << strsignal(signal);
        EXPECT_TRUE(next.lines[0] == Reference::Frame(Reference::Header(131072), image))
            << strsignal(signal);
        EXPECT_EQ(HandshakeValue(ReadText(ProfileFile())), "NO") << strsignal(signal);
        ExpectOtherLinesKept(profile, ReadText(ProfileFile()));
    }
}

struct ProfileCase {
    const char *what;
    std::string text;  // added after the port mappings
    std::string after; // what the native build makes of it
    bool receiveHandshake;
    const char *handshake; // the value afterwards
};

TEST_F(EndToEnd, HostileProfilesStillUploadAndKeepTheirOtherBytes) {
    std::string garbage;
    for (int i = 0; i < 256; ++i) {
        garbage += char(i == '[' || i == '\n' ? ' ' : i);
    }
    const std::string added = "[TuvComDll]\nHANDSHAKE=NO\n";
    const std::string crlf = "\r\n[TuvComDll]\r\nHANDSHAKE=YES\r\nOTHER=1\r\n";
    const std::string twice = "\n[TuvComDll]\nHANDSHAKE=NO\nHANDSHAKE=YES\n";
    const std::string otherCase = "\n[tuvcomdll]\nhandshake=NO\n";
    const std::string megabyte = "\nX=" + std::string(1 << 20, 'x') + "\n";
    const ProfileCase cases[] = {
        {"binary garbage", "\n" + garbage + "\n" + garbage, "\n" + garbage + "\n" + garbage + "\n" + added,
         false, "NO"},
        {"a line of a megabyte", megabyte, megabyte + added, false, "NO"},
        {"CRLF line ends", crlf, crlf, true, "YES"},
        {"no final line end", "\n[TuvComDll]\nHANDSHAKE=TEST", "\n[TuvComDll]\nHANDSHAKE=NO", false,
         "NO"},
        {"section twice, the key in the second",
         "\n[TuvComDll]\nA=1\n[x]\n[TuvComDll]\nHANDSHAKE=YES\n",
         "\n[TuvComDll]\nA=1\nHANDSHAKE=NO\n[x]\n[TuvComDll]\nHANDSHAKE=YES\n", false, "NO"},
        {"key twice", twice, twice, false, "NO"},
        {"names in other case", otherCase, otherCase, false, "NO"},
    };
    PutProgram(Reference::Header(3), {7, 8, 9});
    for (const ProfileCase &c : cases) {
        const fs::path caseFolder = MakeTemporaryFolder((root / "profile").string());
        fs::copy(root / "prog.hea", caseFolder);
        fs::copy(root / "prog.bin", caseFolder);
        BeginCase(caseFolder);
        MapPort(2, line.path);
        const std::string mappings = ReadText(ProfileFile());
        AppendProfile(c.text);
        const ToolRun result = RunTool({"prog", "2"}, {&line});
        EXPECT_EQ(result.status, 14) << c.what;
        EXPECT_EQ(result.lines[0].size(), 20u) << c.what;
        const std::string after = ReadText(ProfileFile());
        EXPECT_EQ(HandshakeValue(after), c.handshake) << c.what;
        const bool crtscts = (LineSettings(line).c_cflag & CRTSCTS) != 0;
        EXPECT_EQ(crtscts, c.receiveHandshake && Traits().handshakeSetsCrtscts) << c.what;
        if (Traits().keepsEveryProfileByte) {
            EXPECT_TRUE(after == mappings + c.after) << c.what << ":\n" << after.substr(0, 500);
        } else if (c.text.find('\0') == std::string::npos) {
            // Wine writes the whole profile anew; lines with control
            // characters come back as Wine understood them.
            ExpectOtherLinesKept(mappings + c.text, after);
        }
    }
}

// A port whose default device does not exist, for cases where the tool may
// not be able to read the port mapping: none of them may reach a real device.
const int PortWithoutDefaultDevice = 200;

void ExpectNoDefaultDevice() {
    ASSERT_FALSE(fs::exists("/dev/ttyS199")) << "COM200 would reach a real device";
}

struct LockedProfileCase {
    const char *what;
    int fileMode;
    int folderMode;
};

TEST_F(EndToEnd, AProfileTheToolCannotChangeIsLeftAsItIs) {
    if (!Traits().runsUnprivileged) {
        GTEST_SKIP() << Traits().name << " build cannot run as another user";
    }
    ExpectNoDefaultDevice();
    PutProgram(Reference::Header(3), {7, 8, 9});
    MapPort(PortWithoutDefaultDevice, line.path);
    AppendProfile("[Other]\nKEY=value\n");
    OpenToEveryone(line.path);
    OpenFoldersToEveryone(ProfileFile().parent_path(), root);
    const std::string profile = ReadText(ProfileFile());
    const LockedProfileCase cases[] = {
        {"unreadable profile", 0000, 0777},
        {"profile in a read-only folder", 0644, 0555},
    };
    RunOptions options;
    options.unprivileged = true;
    for (const LockedProfileCase &c : cases) {
        chmod(ProfileFile().c_str(), mode_t(c.fileMode));
        chmod(ProfileFile().parent_path().c_str(), mode_t(c.folderMode));
        const ToolRun result = RunTool({"prog", "200"}, {&line}, options);
        const bool mappingUnreadable = c.fileMode == 0 && Traits().mapsPortsInProfile;
        EXPECT_EQ(result.output, mappingUnreadable ? "Invalid Com port" : Sending + Sent) << c.what;
        EXPECT_EQ(result.lines[0].size(), mappingUnreadable ? 0u : 20u) << c.what;
        EXPECT_EQ(ReadText(ProfileFile()), profile) << c.what;
        EXPECT_EQ(std::distance(fs::directory_iterator(ProfileFile().parent_path()),
                                fs::directory_iterator()),
                  1)
            << c.what << ": a file was left beside the profile";
    }
}

TEST_F(EndToEnd, AFolderInPlaceOfTheProfileIsLeftAlone) {
    ExpectNoDefaultDevice();
    PutProgram(Reference::Header(3), {7, 8, 9});
    MapPort(PortWithoutDefaultDevice, line.path);
    const fs::path profile = ProfileFile();
    fs::remove(profile);
    fs::create_directories(profile);
    WriteBytes(profile / "inside", {1, 2, 3});
    const ToolRun result = RunTool({"prog", "200"}, {&line});
    const bool mappingUnreadable = Traits().mapsPortsInProfile;
    EXPECT_EQ(result.output, mappingUnreadable ? "Invalid Com port" : Sending + Sent);
    EXPECT_EQ(result.lines[0].size(), mappingUnreadable ? 0u : 20u);
    EXPECT_EQ(ReadText(profile / "inside"), "\x01\x02\x03");
    EXPECT_EQ(std::distance(fs::directory_iterator(profile), fs::directory_iterator()), 1);
}

TEST_F(EndToEnd, EightUploadsAtOnceShareOneProfile) {
    const int count = 8;
    std::vector<Pty> ptys;
    std::vector<Pty *> lines;
    for (int i = 0; i < count; ++i) {
        ptys.push_back(OpenPty());
    }
    std::vector<std::vector<std::string>> argumentLists;
    std::vector<Bytes> images;
    for (int i = 0; i < count; ++i) {
        lines.push_back(&ptys[std::size_t(i)]);
        MapPort(10 + i, ptys[std::size_t(i)].path);
        images.push_back(RandomBytes(20000 + std::size_t(i) * 1000, unsigned(10 + i)));
        const std::string name = "prog" + std::to_string(i);
        PutProgram(Reference::Header(std::uint32_t(images.back().size())), images.back(), name);
        argumentLists.push_back({name, std::to_string(10 + i)});
    }
    AppendProfile("[Other]\nKEY=value\n");
    const std::string before = ReadText(ProfileFile());
    const LineCapture capture = RunTools(argumentLists, lines);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(capture.runs[std::size_t(i)].output, Sending + Sent) << i;
        EXPECT_TRUE(capture.lines[std::size_t(i)] ==
                    Reference::Frame(Reference::Header(std::uint32_t(images[std::size_t(i)].size())),
                                     images[std::size_t(i)]))
            << "frame " << i << " is not intact";
    }
    const std::string after = ReadText(ProfileFile());
    const std::vector<std::string> afterLines = TrimmedLines(after);
    EXPECT_EQ(std::count(afterLines.begin(), afterLines.end(), "[TuvComDll]"), 1) << after;
    EXPECT_EQ(std::count(afterLines.begin(), afterLines.end(), "HANDSHAKE=NO"), 1) << after;
    ExpectOtherLinesKept(before, after);
    for (Pty &pty : ptys) {
        ClosePty(pty);
    }
}

struct ProgramFileCase {
    const char *what;
    const char *extension;
    int kind; // 0 folder, 1 pipe no one writes to, 2 unreadable, 3 the endless zero device
    std::string message;
};

TEST_F(EndToEnd, FoldersPipesDevicesAndUnreadableFilesAsProgramFiles) {
    const std::string cannotOpen = "Error opening filename: Vintrel filename comport";
    const std::string badImage = "Error reading program image";
    const ProgramFileCase cases[] = {
        {"header is a folder", ".hea", 0, cannotOpen},
        {"image is a folder", ".bin", 0, badImage},
        {"header is a pipe no one writes to", ".hea", 1, "Error reading program header"},
        {"image is a pipe no one writes to", ".bin", 1, badImage},
        {"header is unreadable", ".hea", 2, cannotOpen},
        {"image is unreadable", ".bin", 2, badImage},
        {"image is the zero device", ".bin", 3, Sending + Sent},
    };
    MapPort(2, line.path);
    OpenToEveryone(line.path);
    OpenFoldersToEveryone(folder, root);
    OpenFoldersToEveryone(ProfileFile().parent_path(), root);
    for (const ProgramFileCase &c : cases) {
        if (c.kind == 1 && !Traits().mapsPortsInProfile) {
            continue; // a Unix pipe means nothing to a Windows program
        }
        if (c.kind == 2 && !Traits().runsUnprivileged) {
            continue; // the superuser reads every file
        }
        fs::remove_all(folder / "prog.hea");
        fs::remove_all(folder / "prog.bin");
        PutProgram(Reference::Header(1000), Bytes(1000, 0x77));
        const fs::path special = folder / (std::string("prog") + c.extension);
        if (c.kind == 0) {
            fs::remove(special);
            fs::create_directory(special);
        } else if (c.kind == 1) {
            fs::remove(special);
            ASSERT_EQ(mkfifo(special.c_str(), 0666), 0);
        } else if (c.kind == 2) {
            chmod(special.c_str(), 0000);
        } else {
            fs::remove(special);
            fs::create_symlink("/dev/zero", special);
        }
        RunOptions options;
        options.unprivileged = c.kind == 2;
        options.timeoutSeconds = 20;
        const ToolRun result = RunTool({"prog", "2"}, {&line}, options);
        EXPECT_FALSE(result.hung) << c.what;
        EXPECT_EQ(result.output, c.message) << c.what;
        EXPECT_EQ(result.status, int(c.message.size() - (c.kind == 3 ? Sending.size() : 0)))
            << c.what;
        const Bytes expected = c.kind == 3
                                   ? Reference::Frame(Reference::Header(1000), Bytes(1000, 0))
                                   : Bytes();
        EXPECT_EQ(result.lines[0], expected) << c.what;
    }
}

TEST_F(EndToEnd, BaseNamesOf507CharactersFitAnd508DoNot) {
    // Nested folders make an existing base name of any length.
    std::string base = "d";
    while (folder.string().size() + 1 + base.size() < 440) {
        base += "/" + std::string(60, 'd');
    }
    fs::create_directories(folder / base);
    base += "/" + std::string(507 - (folder.string().size() + 1 + base.size() + 1), 'p');
    ASSERT_EQ((folder / base).string().size(), 507u);
    const std::string absolute = (folder / base).string();
    MapPort(2, line.path);
    for (const std::string &name : {absolute, absolute + "q"}) {
        PutProgram(Reference::Header(2), {1, 2}, name.substr(folder.string().size() + 1));
        const ToolRun result = RunTool({name, "2"}, {&line});
        if (name.size() == 507) {
            EXPECT_EQ(result.output, Sending + Sent);
            EXPECT_EQ(result.lines[0], Reference::Frame(Reference::Header(2), {1, 2}));
        } else {
            EXPECT_EQ(result.output, "Error opening filename: Vintrel filename comport");
            EXPECT_TRUE(result.lines[0].empty());
        }
    }
}

struct ArgumentCase {
    std::string argument;
    int port; // -1: no port of that number can open
};

TEST_F(EndToEnd, PortArgumentsFromPlainToHostile) {
    Pty com3 = OpenPty();
    MapPort(3, com3.path);
    PutProgram(Reference::Header(1), {0x42});
    const ArgumentCase cases[] = {
        {"", -1},          {"-0", -1},           {"+", -1},
        {" \t\n3", 3},     {"2147483648", -1},   {"4294967295", -1},
        {"3junk", 3},      {"18446744073709551619", 3}, {"-4294967293", 3},
    };
    for (const ArgumentCase &c : cases) {
        const ToolRun result = RunTool({"prog", c.argument}, {&com3});
        EXPECT_EQ(result.output, c.port == 3 ? Sending + Sent : "Invalid Com port")
            << '"' << c.argument << '"';
        EXPECT_EQ(result.lines[0].size(), c.port == 3 ? 18u : 0u) << '"' << c.argument << '"';
    }
    ClosePty(com3);
}

} // namespace
