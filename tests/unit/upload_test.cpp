// The upload driver: arguments, program files, messages and exit statuses,
// and the frame it hands to the port layer (a fake platform stands behind it).
#include "tests/fake/fake_platform.h"
#include "tests/support/reference_frame.h"
#include "serial/port.h"
#include "upload/progress.h"
#include "upload/upload.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Reference::Bytes;

const char Sending[] = "Sending program...Please wait some seconds";

struct ParseCase {
    const char *text;
    int port;
};

TEST(ParsePortArgument, ReadsLikeAtoiAndWrapsModuloTwoToThe32) {
    const ParseCase cases[] = {
        {"3", 3},
        {"12", 12},
        {"", 0},
        {"abc", 0},
        {"-0", 0},
        {"+", 0},
        {"-", 0},
        {" \t\n\v\f\r3", 3},
        {"  +12", 12},
        {"-5", -5},
        {"- 3", 0},
        {"3junk", 3},
        {"0x10", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MIN},
        {"4294967295", -1},
        {"4294967299", 3},
        {"18446744073709551619", 3},
        {"-4294967293", 3},
    };
    for (const ParseCase &c : cases) {
        EXPECT_EQ(ParsePortArgument(c.text), c.port) << '"' << c.text << '"';
    }
}

struct RunResult {
    std::string output;
    int status;
};

class Upload : public testing::Test {
protected:
    fs::path folder;

    void SetUp() override {
        Fake::Reset();
        folder = fs::temp_directory_path() /
                 ("vintrel-upload-" + std::string(testing::UnitTest::GetInstance()
                                                      ->current_test_info()
                                                      ->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }

    void TearDown() override {
        fs::remove_all(folder);
    }

    std::string Base(const std::string &name = "prog") const {
        return (folder / name).string();
    }

    static void PutFile(const std::string &path, const Bytes &bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    }

    void PutProgram(const Bytes &header, const Bytes &image, const std::string &name = "prog") {
        PutFile(Base(name) + ".hea", header);
        PutFile(Base(name) + ".bin", image);
    }

    static RunResult Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "Vintrel");
        std::vector<char *> argv;
        for (std::string &argument : arguments) {
            argv.push_back(&argument[0]);
        }
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        const int status = RunUpload(int(arguments.size()), argv.data());
        return {testing::internal::GetCapturedStdout(), status};
    }
};

TEST_F(Upload, SendsTheFrameAndReportsSuccess) {
    const Bytes header = Reference::Header(10, 0xDEADBEEF);
    const Bytes image = {0x0A, 0x0D, 0x11, 0x13, 0xFF, 0x00, 0x53, 0x7F, 0x80, 0x1A};
    PutProgram(header, image);
    const RunResult result = Run({Base(), "2"});
    EXPECT_EQ(result.output, std::string(Sending) + "Program Sended");
    EXPECT_EQ(result.status, 14);
    EXPECT_EQ(Fake::OpenedNames, std::vector<std::string>{"COM2"});
    EXPECT_EQ(Fake::Wire, Reference::Frame(header, image));
    EXPECT_EQ(Fake::Pieces, (std::vector<std::uint32_t>{1, 8, 2, 2, 10, 2, 2}));
    EXPECT_EQ(Fake::AppliedDcbs.at(0).BaudRate, 38400u);
    EXPECT_EQ(Fake::OpenHandles, 0);
}

TEST_F(Upload, SendsImageLengthBytesEvenFromALongerImage) {
    const Bytes image(300, 0x5A);
    PutProgram(Reference::Header(10), image);
    EXPECT_EQ(Run({Base(), "1"}).status, 14);
    EXPECT_EQ(Fake::Wire, Reference::Frame(Reference::Header(10), Bytes(10, 0x5A)));
}

TEST_F(Upload, FullSizeImageAndEmptyImage) {
    Bytes image(131072);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = std::uint8_t(i * 7 + i / 256);
    }
    PutProgram(Reference::Header(131072), image);
    EXPECT_EQ(Run({Base(), "1"}).status, 14);
    EXPECT_EQ(Fake::Wire, Reference::Frame(Reference::Header(131072), image));

    // An image length of 0 needs no image file: a 17-byte frame ending in
    // four zero bytes.
    Fake::Reset();
    PutFile(Base("empty") + ".hea", Reference::Header(0));
    EXPECT_EQ(Run({Base("empty"), "1"}).status, 14);
    ASSERT_EQ(Fake::Wire.size(), 17u);
    EXPECT_EQ(Bytes(Fake::Wire.end() - 4, Fake::Wire.end()), Bytes(4, 0));
}

struct PortCase {
    std::vector<std::string> extraArguments;
    std::string device;
};

TEST_F(Upload, ChoosesThePortFromTheArguments) {
    PutProgram(Reference::Header(1), {7});
    const PortCase cases[] = {
        {{}, "COM1"},
        {{"3"}, "COM3"},
        {{"3", "extra"}, "COM1"},
        {{"3", "extra", "more"}, "COM1"},
        {{"none"}, "COM0"},
        {{"4294967299"}, "COM3"},
        {{"255"}, "COM255"},
    };
    for (const PortCase &c : cases) {
        Fake::Reset();
        std::vector<std::string> arguments = {Base()};
        arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());
        EXPECT_EQ(Run(arguments).status, 14) << c.device;
        EXPECT_EQ(Fake::OpenedNames, std::vector<std::string>{c.device});
    }
}

TEST_F(Upload, AppendsTheExtensionsToTheBaseNameAsGiven) {
    PutProgram(Reference::Header(2), {1, 2}, "prog.x");
    EXPECT_EQ(Run({Base("prog.x"), "1"}).status, 14);
    EXPECT_EQ(Fake::Wire, Reference::Frame(Reference::Header(2), {1, 2}));
}

struct RefusalCase {
    const char *what;
    bool headerFile;
    Bytes header;
    bool imageFile;
    std::size_t imageSize;
    std::vector<std::string> extraArguments;
    const char *message;
};

TEST_F(Upload, RefusesBadInputBeforeTheLineCarriesAnything) {
    const RefusalCase cases[] = {
        {"missing header file", false, {}, true, 4, {"1"},
         "Error opening filename: Vintrel filename comport"},
        {"header of 7 bytes", true, Bytes(7, 0), true, 4, {"1"}, "Error reading program header"},
        {"empty header", true, {}, true, 4, {"1"}, "Error reading program header"},
        {"image length above the buffer", true, Reference::Header(131073), true, 131073, {"1"},
         "Program too large"},
        {"image length far above the buffer", true, Reference::Header(0xFFFFFFFF), true, 4, {"1"},
         "Program too large"},
        {"missing image file", true, Reference::Header(4), false, 0, {"1"},
         "Error reading program image"},
        {"short image file", true, Reference::Header(4), true, 3, {"1"},
         "Error reading program image"},
        {"negative port", true, Reference::Header(4), true, 4, {"-1"}, "Invalid Com port"},
        {"port 256", true, Reference::Header(4), true, 4, {"256"}, "Invalid Com port"},
        {"port wrapping to a negative number", true, Reference::Header(4), true, 4,
         {"2147483648"}, "Invalid Com port"},
    };
    for (const RefusalCase &c : cases) {
        Fake::Reset();
        fs::remove(Base() + ".hea");
        fs::remove(Base() + ".bin");
        if (c.headerFile) {
            PutFile(Base() + ".hea", c.header);
        }
        if (c.imageFile) {
            PutFile(Base() + ".bin", Bytes(c.imageSize, 0x42));
        }
        std::vector<std::string> arguments = {Base()};
        arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());
        const RunResult result = Run(arguments);
        EXPECT_EQ(result.output, c.message) << c.what;
        EXPECT_EQ(result.status, int(std::string(c.message).size())) << c.what;
        // Refused before any platform call: no port, no profile, no bytes.
        EXPECT_TRUE(Fake::Calls.empty()) << c.what;
    }
}

TEST_F(Upload, NoArgumentPrintsTheUsage) {
    const RunResult result = Run({});
    EXPECT_EQ(result.output, "Parameter error: Vintrel filename comport");
    EXPECT_EQ(result.status, 41);
    EXPECT_TRUE(Fake::Calls.empty());
}

TEST_F(Upload, BaseNamesUpTo507CharactersFitTheNameBuffer) {
    // Nested folders make existing files with names of any length.
    std::string base = folder.string();
    while (base.size() < 400) {
        base += "/" + std::string(60, 'd');
    }
    fs::create_directories(base);
    const std::string longest = base + "/" + std::string(507 - base.size() - 1, 'p');
    ASSERT_EQ(longest.size(), 507u);
    PutFile(longest + ".hea", Reference::Header(1));
    PutFile(longest + ".bin", {9});
    EXPECT_EQ(Run({longest, "1"}).status, 14);

    Fake::Reset();
    const std::string tooLong = longest + "q";
    PutFile(tooLong + ".hea", Reference::Header(1));
    PutFile(tooLong + ".bin", {9});
    const RunResult result = Run({tooLong, "1"});
    EXPECT_EQ(result.output, "Error opening filename: Vintrel filename comport");
    EXPECT_EQ(result.status, 48);
    EXPECT_TRUE(Fake::Calls.empty());
}

TEST_F(Upload, PortThatDoesNotOpenIsReportedAndNothingIsSent) {
    PutProgram(Reference::Header(4), Bytes(4, 1));
    Fake::CreateFails = true;
    const RunResult result = Run({Base(), "5"});
    EXPECT_EQ(result.output, "Invalid Com port");
    EXPECT_EQ(result.status, 16);
    EXPECT_EQ(Fake::CallCount("WriteFile"), 0);
    EXPECT_EQ(Fake::CallCount("GetProfileStringA"), 0);
}

TEST_F(Upload, FailedWriteStopsTheFrameClosesThePortAndIsReported) {
    PutProgram(Reference::Header(4), Bytes(4, 1));
    for (int goodWrites : {0, 1, 3, 4, 6}) {
        Fake::Reset();
        Fake::WritesBeforeFailure = goodWrites;
        const RunResult result = Run({Base(), "2"});
        EXPECT_EQ(result.output, std::string(Sending) + "Error sending program") << goodWrites;
        EXPECT_EQ(result.status, 21);
        EXPECT_EQ(Fake::CallCount("WriteFile"), goodWrites + 1) << goodWrites;
        EXPECT_EQ(Fake::CallCount("CloseHandle"), 1);
    }
}

TEST_F(Upload, BytesThatNeverLeaveTheQueueAreReported) {
    PutProgram(Reference::Header(4), Bytes(4, 1));
    Fake::InstantDrain = false;
    Fake::DrainBytesPerSecond = 0;
    const RunResult result = Run({Base(), "2"});
    EXPECT_EQ(result.output, std::string(Sending) + "Error sending program");
    EXPECT_EQ(result.status, 21);
    EXPECT_EQ(Fake::CallCount("CloseHandle"), 1);
}

} // namespace

namespace {

// What a console line shows after the text: backspace moves left, any other
// character overwrites the cell under the cursor and moves right.
struct ConsoleLine {
    std::string cells;
    std::size_t cursor;
};

ConsoleLine Render(const std::string &text) {
    ConsoleLine line = {"", 0};
    for (char c : text) {
        if (c == '\b') {
            line.cursor -= line.cursor > 0 ? 1 : 0;
            continue;
        }
        if (line.cursor == line.cells.size()) {
            line.cells += c;
        } else {
            line.cells[line.cursor] = c;
        }
        ++line.cursor;
    }
    return line;
}

TEST_F(Upload, ProgressOnAConsoleIsErasedBeforeTheFinalMessage) {
    PutProgram(Reference::Header(131072), Bytes(131072, 3));
    for (bool console : {true, false}) {
        Fake::Reset();
        Fake::ErrorIsConsole = console;
        testing::internal::CaptureStderr();
        const RunResult result = Run({Base(), "2"});
        const std::string progress = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result.output, std::string(Sending) + "Program Sended");
        if (!console) {
            EXPECT_EQ(progress, "");
            continue;
        }
        EXPECT_EQ(progress.rfind("   0%", 0), 0u) << progress;
        // Standard error ends with the cursor where it started, over blanks.
        const ConsoleLine line = Render(progress);
        EXPECT_EQ(line.cursor, 0u) << progress;
        EXPECT_EQ(line.cells.find_first_not_of(' '), std::string::npos) << progress;
    }
}

} // namespace

namespace {

TEST(Progress, ShowsTheShareHandedOverAtMostTenTimesASecond) {
    Fake::Reset();
    Fake::ErrorIsConsole = true;
    testing::internal::CaptureStderr();
    StartProgress(1000);
    ASSERT_NE(PieceTaken, nullptr);
    PieceTaken(500); // too soon after the first showing
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    PieceTaken(250);
    PieceTaken(250); // too soon again
    EndProgress();
    EXPECT_EQ(PieceTaken, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "   0%\b\b\b\b\b  75%\b\b\b\b\b     \b\b\b\b\b");
}

} // namespace

namespace {

struct SpecialFileCase {
    const char *what;
    const char *extension;
    int kind; // 0 folder, 1 pipe no one writes to, 2 the endless zero device
    int status;
};

TEST_F(Upload, FoldersPipesAndDevicesAsProgramFiles) {
    const SpecialFileCase cases[] = {
        {"header is a folder", ".hea", 0, 48},
        {"image is a folder", ".bin", 0, 27},
        {"header is a pipe no one writes to", ".hea", 1, 28},
        {"image is a pipe no one writes to", ".bin", 1, 27},
        {"image is the zero device", ".bin", 2, 14},
    };
    for (const SpecialFileCase &c : cases) {
        Fake::Reset();
        fs::remove_all(Base() + ".hea");
        fs::remove_all(Base() + ".bin");
        PutProgram(Reference::Header(1000), Bytes(1000, 0x77));
        const std::string special = Base() + c.extension;
        fs::remove(special);
        if (c.kind == 0) {
            fs::create_directory(special);
        } else if (c.kind == 1) {
            ASSERT_EQ(mkfifo(special.c_str(), 0600), 0);
        } else {
            fs::create_symlink("/dev/zero", special);
        }
        const RunResult result = Run({Base(), "2"});
        EXPECT_EQ(result.status, c.status) << c.what << ": " << result.output;
        if (c.status == 14) {
            EXPECT_EQ(Fake::Wire, Reference::Frame(Reference::Header(1000), Bytes(1000, 0)));
        } else {
            EXPECT_TRUE(Fake::Calls.empty()) << c.what;
        }
    }
}

} // namespace
