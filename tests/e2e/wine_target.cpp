// The Windows build under Wine. One prefix serves every case of a test
// program: made by wineboot, kept by a persistent wineserver whose output
// goes to a log (a server started by a captured run would hold its pipes
// open), and warmed up once. COMn is the symlink dosdevices/comN; the profile
// is the prefix's own win.ini.
#include "tests/e2e/target.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

fs::path Root;   // the prefix, its logs and the folder that stands for no port
fs::path Prefix;
pid_t Server = -1;

std::vector<std::string> WineEnvironment() {
    return {"WINEPREFIX=" + Prefix.string(), "WINEDLLOVERRIDES=mscoree,mshtml=", "WINEDEBUG=-all"};
}

bool OnPath(const std::string &program) {
    const char *path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        end = end == std::string::npos ? folders.size() : end;
        if (access((folders.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Starts the command with its output in the log; waits for it unless asked not to.
pid_t Start(const std::vector<std::string> &command, const fs::path &log, bool wait) {
    std::vector<std::string> variables;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        variables.push_back(*variable);
    }
    for (const std::string &variable : WineEnvironment()) {
        variables.push_back(variable);
    }
    std::vector<std::string> arguments = command;
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (std::string &argument : arguments) {
        argv.push_back(&argument[0]);
    }
    for (std::string &variable : variables) {
        envp.push_back(&variable[0]);
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        setsid();
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (wait) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return pid;
}

fs::path Devices() {
    return Prefix / "dosdevices";
}

bool IsComLink(const fs::directory_entry &entry) {
    const std::string name = entry.path().filename().string();
    return name.size() > 3 && name.compare(0, 3, "com") == 0 && entry.is_symlink();
}

// Wine maps COM1 to the machine's first serial port whenever its server
// starts. No case may reach a real device: stop at once if one is mapped.
void RefuseRealDevices() {
    for (const fs::directory_entry &entry : fs::directory_iterator(Devices())) {
        if (!IsComLink(entry)) {
            continue;
        }
        const std::string target = fs::read_symlink(entry.path()).string();
        if (target.rfind("/dev/", 0) == 0 && target.rfind("/dev/pts/", 0) != 0) {
            std::cerr << entry.path() << " points at the real device " << target << "\n";
            std::abort();
        }
    }
}

} // namespace

const TargetTraits &Traits() {
    return WineTraits;
}

std::string TargetUnavailable() {
    if (!fs::exists(VINTREL_WINDOWS_PROGRAM)) {
        return "no Windows build at " VINTREL_WINDOWS_PROGRAM;
    }
    for (const char *program : {"wine", "wineboot", "wineserver"}) {
        if (!OnPath(program)) {
            return std::string(program) + " is not installed";
        }
    }
    return "";
}

void PrepareTarget() {
    Root = MakeTemporaryFolder("vintrel-wine");
    Prefix = Root / "prefix";
    fs::create_directory(Root / "no-port");
    const fs::path log = Root / "wine.log";
    Start({"wineboot", "-i"}, log, true);
    Start({"wineserver", "-w"}, log, true);
    Server = Start({"wineserver", "-p", "-f"}, log, false);
    Start({"wine", VINTREL_WINDOWS_PROGRAM}, log, true);
}

void FinishTarget() {
    Start({"wineserver", "-k"}, Root / "wine.log", true);
    if (Server > 0) {
        kill(Server, SIGKILL);
        waitpid(Server, nullptr, 0);
    }
    fs::remove_all(Root);
}

void StartCase(const fs::path &) {
    std::vector<fs::path> links;
    for (const fs::directory_entry &entry : fs::directory_iterator(Devices())) {
        if (IsComLink(entry)) {
            links.push_back(entry.path());
        }
    }
    for (const fs::path &link : links) {
        fs::remove(link);
    }
    // A COM link to a folder opens nothing: COM1 stays away from the machine's port.
    fs::create_directory_symlink(Root / "no-port", Devices() / "com1");
    fs::remove_all(ProfileFile());
}

fs::path ProfileFile() {
    return Prefix / "drive_c" / "windows" / "win.ini";
}

void MapPort(int number, const std::string &devicePath) {
    const fs::path link = Devices() / ("com" + std::to_string(number));
    fs::remove(link);
    fs::create_symlink(devicePath, link);
}

std::vector<std::string> ToolCommand(const std::vector<std::string> &arguments) {
    RefuseRealDevices();
    std::vector<std::string> command = {"wine", VINTREL_WINDOWS_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<std::string> ToolEnvironment() {
    return WineEnvironment();
}
