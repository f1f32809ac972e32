// What the end-to-end suite needs around the tool: pseudo-terminals standing
// in for serial devices, temporary folders, and running a program while the
// other side of its line is read.
#ifndef VINTREL_TESTS_E2E_HARNESS_H
#define VINTREL_TESTS_E2E_HARNESS_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <termios.h>
#include <vector>

namespace fs = std::filesystem;
typedef std::vector<std::uint8_t> Bytes;

// A pseudo-terminal: the tool opens the slave by its path, the test reads the
// master. The test keeps a slave descriptor of its own so that the terminal
// outlives the tool's close.
struct Pty {
    int master;
    int slave;
    std::string path;
};

Pty OpenPty();
void ClosePty(Pty &pty);
termios LineSettings(const Pty &pty);

// A fresh, empty folder under the system's temporary folder.
fs::path MakeTemporaryFolder(const std::string &prefix);

std::string ReadText(const fs::path &path); // "" when missing
void WriteBytes(const fs::path &path, const Bytes &bytes);

struct RunOptions {
    std::vector<std::string> environment;  // NAME=value, added to ours
    std::size_t closeLineAfter = SIZE_MAX; // close the first master once this many bytes arrived
    std::size_t signalAfter = SIZE_MAX;    // signal the programs once this many bytes arrived,
    int signal = 0;                        // and read no more until they have ended
    bool unprivileged = false;             // run as the unprivileged user "nobody"
    int timeoutSeconds = 90;
};

struct RunResult {
    std::string output;  // standard output, byte for byte
    int status = -1;     // exit status, -1 when ended by a signal
    bool hung = false;   // still running at the time-out, then killed
    double seconds = 0;  // from start to exit
};

struct LineCapture {
    std::vector<RunResult> runs; // one per command, in order
    std::vector<Bytes> lines;    // what each pty's master received
};

// Runs the commands at once in the folder while reading every pty's master,
// until all have ended and the lines are quiet.
LineCapture RunPrograms(const std::vector<std::vector<std::string>> &commands,
                        const fs::path &folder, const std::vector<Pty *> &ptys,
                        const RunOptions &options);

// Lets the unprivileged user reach the path: the device, or a folder.
void OpenToEveryone(const std::string &path);

// Opens the folder and every folder above it up to the top one, which must
// hold it; nothing when it does not.
void OpenFoldersToEveryone(const fs::path &folder, const fs::path &top);

#endif
