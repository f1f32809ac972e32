// The native build: COM ports are mapped in the [Ports] section of the
// profile, and the profile lives under XDG_CONFIG_HOME in the case folder.
#include "tests/e2e/target.h"

#include <fstream>

namespace {

fs::path CaseFolder;

} // namespace

const TargetTraits &Traits() {
    return NativeTraits;
}

std::string TargetUnavailable() {
    return fs::exists(VINTREL_NATIVE_PROGRAM) ? "" : "no native build at " VINTREL_NATIVE_PROGRAM;
}

void PrepareTarget() {
}

void FinishTarget() {
}

void StartCase(const fs::path &caseFolder) {
    CaseFolder = caseFolder;
}

fs::path ProfileFile() {
    return CaseFolder / "config" / "vintrel" / "win.ini";
}

void MapPort(int number, const std::string &devicePath) {
    fs::create_directories(ProfileFile().parent_path());
    const std::string before = ReadText(ProfileFile());
    std::ofstream(ProfileFile(), std::ios::binary)
        << (before.empty() ? "[Ports]\n" : before) << "COM" << number << "=" << devicePath << "\n";
}

std::vector<std::string> ToolCommand(const std::vector<std::string> &arguments) {
    std::vector<std::string> command = {VINTREL_NATIVE_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<std::string> ToolEnvironment() {
    return {"XDG_CONFIG_HOME=" + (CaseFolder / "config").string()};
}
