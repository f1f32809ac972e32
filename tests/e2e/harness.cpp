#include "tests/e2e/harness.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

Pty OpenPty() {
    Pty pty = {-1, -1, ""};
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        std::abort();
    }
    pty.path = ptsname(pty.master);
    pty.slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.slave < 0) {
        std::abort();
    }
    return pty;
}

void ClosePty(Pty &pty) {
    if (pty.master >= 0) {
        close(pty.master);
    }
    if (pty.slave >= 0) {
        close(pty.slave);
    }
    pty.master = pty.slave = -1;
}

termios LineSettings(const Pty &pty) {
    termios settings;
    std::memset(&settings, 0, sizeof settings);
    tcgetattr(pty.slave, &settings);
    return settings;
}

fs::path MakeTemporaryFolder(const std::string &prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::abort();
    }
    return pattern;
}

std::string ReadText(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteBytes(const fs::path &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

namespace {

pid_t Spawn(const std::vector<std::string> &command, const fs::path &folder,
            const std::vector<std::string> &environment, int outputPipe[2]) {
    std::vector<std::string> variables;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        variables.push_back(*variable);
    }
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (std::string &variable : variables) {
        envp.push_back(&variable[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> arguments = command;
    std::vector<char *> argv;
    for (std::string &argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outputPipe[1], STDOUT_FILENO);
        close(outputPipe[0]);
        close(outputPipe[1]);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// Moves whatever the descriptor holds into the bytes; false at its end.
bool Drain(int fd, Bytes &bytes) {
    std::uint8_t buffer[65536];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) {
        return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + count);
    return true;
}

} // namespace

RunResult RunProgram(const std::vector<std::string> &command, const fs::path &folder,
                     std::vector<Pty *> ptys, const RunOptions &options) {
    RunResult result;
    result.lines.resize(ptys.size());
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
        std::abort();
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Spawn(command, folder, options.environment, outputPipe);
    close(outputPipe[1]);
    Bytes output;
    bool outputOpen = true;
    int status = 0;
    bool running = true;
    int quietPolls = 0;
    // After the program ends, its lines and its output get a moment to deliver
    // what is left: until three polls in a row find nothing.
    while (running || quietPolls < 3) {
        std::vector<pollfd> ready;
        for (Pty *pty : ptys) {
            ready.push_back({pty->master, POLLIN, 0});
        }
        ready.push_back({outputOpen ? outputPipe[0] : -1, POLLIN, 0});
        const int events = poll(ready.data(), ready.size(), 50);
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            if (ready[i].revents & POLLIN) {
                Drain(ptys[i]->master, result.lines[i]);
            }
            if (ptys[i]->master >= 0 && result.lines[i].size() >= options.closeLineAfter) {
                close(ptys[i]->master);
                ptys[i]->master = -1;
            }
        }
        if (outputOpen && (ready.back().revents & (POLLIN | POLLHUP))) {
            outputOpen = Drain(outputPipe[0], output);
        }
        if (running && waitpid(pid, &status, WNOHANG) == pid) {
            running = false;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (running && seconds > options.timeoutSeconds) {
            result.hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            running = false;
        }
        quietPolls = running || events > 0 ? 0 : quietPolls + 1;
    }
    close(outputPipe[0]);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.output.assign(output.begin(), output.end());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
