#include "tests/e2e/harness.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
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
    // The master reports the settings the tool gave the slave, its line.
    tcgetattr(pty.master, &settings);
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

void OpenToEveryone(const std::string &path) {
    chmod(path.c_str(), fs::is_directory(path) ? 0777 : 0666);
}

void OpenFoldersToEveryone(const fs::path &folder, const fs::path &top) {
    const std::string topName = top.string();
    if (folder.string().rfind(topName + "/", 0) != 0 && folder != top) {
        return;
    }
    for (fs::path path = folder; path.string().size() >= topName.size(); path = path.parent_path()) {
        OpenToEveryone(path.string());
    }
}

namespace {

typedef std::chrono::steady_clock Clock;

struct Child {
    pid_t pid;
    int output;
    Bytes outputBytes;
    bool running;
    bool hung;
    int status;
    Clock::time_point ended;
};

std::vector<char *> Pointers(std::vector<std::string> &texts) {
    std::vector<char *> pointers;
    for (std::string &text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

void BecomeNobody() {
    const passwd *nobody = getpwnam("nobody");
    if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
        setuid(nobody->pw_uid) != 0) {
        _exit(126);
    }
}

Child Spawn(std::vector<std::string> command, const fs::path &folder, const RunOptions &options) {
    std::vector<std::string> variables;
    for (char **variable = environ; *variable != nullptr; ++variable) {
        variables.push_back(*variable);
    }
    variables.insert(variables.end(), options.environment.begin(), options.environment.end());
    std::vector<char *> envp = Pointers(variables);
    std::vector<char *> argv = Pointers(command);
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
        std::abort();
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outputPipe[1], STDOUT_FILENO);
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        if (options.unprivileged) {
            BecomeNobody();
        }
        if (chdir(folder.c_str()) != 0) {
            _exit(127);
        }
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outputPipe[1]);
    return {pid, outputPipe[0], Bytes(), true, false, 0, Clock::time_point()};
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

bool AnyRunning(const std::vector<Child> &children) {
    for (const Child &child : children) {
        if (child.running) {
            return true;
        }
    }
    return false;
}

std::size_t Received(const std::vector<Bytes> &lines) {
    std::size_t total = 0;
    for (const Bytes &line : lines) {
        total += line.size();
    }
    return total;
}

} // namespace

LineCapture RunPrograms(const std::vector<std::vector<std::string>> &commands,
                        const fs::path &folder, const std::vector<Pty *> &ptys,
                        const RunOptions &options) {
    LineCapture capture;
    capture.lines.resize(ptys.size());
    const Clock::time_point start = Clock::now();
    std::vector<Child> children;
    for (const std::vector<std::string> &command : commands) {
        children.push_back(Spawn(command, folder, options));
    }
    bool signalled = false;
    int quietPolls = 0;
    // After the programs end, the lines and outputs get a moment to deliver
    // what is left: until three polls in a row find nothing.
    while (AnyRunning(children) || quietPolls < 3) {
        // Once signalled, the programs are held up on full lines until they end.
        const bool reading = !(signalled && AnyRunning(children));
        std::vector<pollfd> ready;
        for (Pty *pty : ptys) {
            ready.push_back({reading ? pty->master : -1, POLLIN, 0});
        }
        for (Child &child : children) {
            ready.push_back({child.output, POLLIN, 0});
        }
        const int events = poll(ready.data(), ready.size(), 50);
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            if (ready[i].revents & POLLIN) {
                Drain(ptys[i]->master, capture.lines[i]);
            }
        }
        if (!ptys.empty() && ptys[0]->master >= 0 && capture.lines[0].size() >= options.closeLineAfter) {
            close(ptys[0]->master);
            ptys[0]->master = -1;
        }
        if (!signalled && Received(capture.lines) >= options.signalAfter) {
            signalled = true;
            for (Child &child : children) {
                kill(child.pid, options.signal);
            }
        }
        for (std::size_t i = 0; i < children.size(); ++i) {
            Child &child = children[i];
            if ((ready[ptys.size() + i].revents & (POLLIN | POLLHUP)) &&
                !Drain(child.output, child.outputBytes)) {
                close(child.output);
                child.output = -1;
            }
            if (child.running && waitpid(child.pid, &child.status, WNOHANG) == child.pid) {
                child.running = false;
                child.ended = Clock::now();
            }
            if (child.running && Clock::now() - start > std::chrono::seconds(options.timeoutSeconds)) {
                kill(child.pid, SIGKILL);
                waitpid(child.pid, &child.status, 0);
                child.running = false;
                child.hung = true;
                child.ended = Clock::now();
            }
        }
        quietPolls = AnyRunning(children) || events > 0 ? 0 : quietPolls + 1;
    }
    capture.runs.resize(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
        Child &child = children[i];
        if (child.output >= 0) {
            close(child.output);
        }
        RunResult &run = capture.runs[i];
        run.output.assign(child.outputBytes.begin(), child.outputBytes.end());
        run.status = WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
        run.hung = child.hung;
        run.seconds = std::chrono::duration<double>(child.ended - start).count();
    }
    return capture;
}
