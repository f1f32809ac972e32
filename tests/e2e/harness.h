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
    std::vector<std::string> environment; // NAME=value, added to ours
    std::size_t closeLineAfter = SIZE_MAX; // close the master once this many bytes arrived
    int timeoutSeconds = 90;
};

struct RunResult {
    std::string output;            // standard output, byte for byte
    int status = -1;               // exit status, -1 when killed
    bool hung = false;             // still running at the time-out, then killed
    std::vector<Bytes> lines;      // what each pty's master received
    double seconds = 0;
};

// Runs the command in the folder while reading every pty's master, until the
// program has ended and its lines are quiet.
RunResult RunProgram(const std::vector<std::string> &command, const fs::path &folder,
                     std::vector<Pty *> ptys, const RunOptions &options);

#endif
