// The Windows build under Wine and the native build put the same bytes on
// the line for the same program.
#include "tests/e2e/target.h"
#include "tests/support/reference_frame.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace {

struct ProgramCase {
    const char *what;
    std::uint32_t imageLength;
    std::size_t imageFileSize;
};

TEST(BothBuilds, SendTheSameBytesForTheSameProgram) {
    const std::string unavailable = TargetUnavailable();
    if (!unavailable.empty()) {
        GTEST_SKIP() << Traits().name << " build skipped: " << unavailable;
    }
    const ProgramCase cases[] = {
        {"empty image", 0, 0},
        {"every byte value, full size", 131072, 131072},
        {"image file longer than the header says", 1000, 5000},
    };
    const fs::path folder = MakeTemporaryFolder("vintrel-both");
    Pty line = OpenPty();
    std::mt19937 random(5);
    for (const ProgramCase &c : cases) {
        Bytes image(c.imageFileSize);
        for (std::size_t i = 0; i < image.size(); ++i) {
            image[i] = std::uint8_t(i % 2 ? random() : i);
        }
        const Bytes header = Reference::Header(c.imageLength, 0x0A0D0A0D);
        WriteBytes(folder / "prog.hea", header);
        WriteBytes(folder / "prog.bin", image);

        StartCase(folder);
        MapPort(4, line.path);
        RunOptions windowsOptions;
        windowsOptions.environment = ToolEnvironment();
        const LineCapture windows =
            RunPrograms({ToolCommand({"prog", "4"})}, folder, {&line}, windowsOptions);

        fs::create_directories(folder / "config" / "vintrel");
        std::ofstream(folder / "config" / "vintrel" / "win.ini") << "[Ports]\nCOM4=" << line.path << "\n";
        RunOptions nativeOptions;
        nativeOptions.environment = {"XDG_CONFIG_HOME=" + (folder / "config").string()};
        const LineCapture native =
            RunPrograms({{VINTREL_NATIVE_PROGRAM, "prog", "4"}}, folder, {&line}, nativeOptions);

        EXPECT_EQ(windows.runs[0].status, 14) << c.what;
        EXPECT_EQ(windows.runs[0].output, native.runs[0].output) << c.what;
        EXPECT_EQ(windows.runs[0].status, native.runs[0].status) << c.what;
        EXPECT_TRUE(windows.lines[0] == native.lines[0]) << c.what;
        const Bytes sent(image.begin(), image.begin() + c.imageLength);
        EXPECT_TRUE(native.lines[0] == Reference::Frame(header, sent)) << c.what;
    }
    ClosePty(line);
    fs::remove_all(folder);
}

} // namespace
