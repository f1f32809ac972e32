// The build under test: the native Vintrel, or Vintrel.exe under Wine. The
// suite is the same for both; what differs between them is stated in
// TargetTraits, next to each other in targets.cpp, and nowhere else.
#ifndef VINTREL_TESTS_E2E_TARGET_H
#define VINTREL_TESTS_E2E_TARGET_H

#include "tests/e2e/harness.h"

#include <string>
#include <vector>

struct TargetTraits {
    const char *name;
    // RTS_CONTROL_HANDSHAKE shows on the line as termios CRTSCTS. Wine turns
    // it into hardware flow control; our POSIX layer emulates the receive
    // handshake instead and never lets CTS hold up the output.
    bool handshakeSetsCrtscts;
    // A lock that another program holds on the device keeps the tool out.
    // Wine's exclusive open is known only to Wine's own processes.
    bool honoursForeignPortLocks;
    // COM ports are mapped to devices in the profile, so a profile that
    // cannot be read leaves only the default devices.
    bool mapsPortsInProfile;
    // A profile write keeps every byte outside the key's line. Wine writes
    // the whole profile anew from what it understood of it.
    bool keepsEveryProfileByte;
    // The tool runs as another, unprivileged user. Wine refuses a prefix
    // that belongs to someone else.
    bool runsUnprivileged;
};

extern const TargetTraits NativeTraits;
extern const TargetTraits WineTraits;

// The traits of the build this test program runs.
const TargetTraits &Traits();

// Why the build cannot run here (missing program or emulator); empty when it can.
std::string TargetUnavailable();

// Prepares what the cases share, once per test program, and removes it again.
void PrepareTarget();
void FinishTarget();

// Starts a case in its folder: an empty profile and no port mapped.
void StartCase(const fs::path &caseFolder);

// Makes COM<number> the device for the rest of the case.
void MapPort(int number, const std::string &devicePath);

// The profile the tool reads and writes, and its text ("" when missing).
fs::path ProfileFile();

// The command that runs the tool with the arguments (after its name), and
// the environment it needs on top of ours.
std::vector<std::string> ToolCommand(const std::vector<std::string> &arguments);
std::vector<std::string> ToolEnvironment();

#endif
