#include "integration/OrbtrayProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "fakes/Loopback.h"

extern char** environ;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    // Everything the child needs is made before the fork: between fork and exec only
    // async-signal-safe calls are allowed in a process that has threads.
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.emplace_back(*entry);
    }
    for (const auto& extra : environment) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(envp, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        envp.push_back(extra);
    }
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> all;
        for (auto& s : strings) {
            all.push_back(s.data());
        }
        all.push_back(nullptr);
        return all;
    };
    std::vector<char*> argvPointers = pointers(argv);
    std::vector<char*> envpPointers = pointers(envp);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const int out = open((output_.Path() + "out").c_str(), flags, 0600);
    const int err = open((output_.Path() + "err").c_str(), flags, 0600);
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(input, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // Sockets of the test must not live on in the child, or a close by the test would not
        // reach the receiver.
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
            for (int fd = 3; fd < 65536; ++fd) {
                close(fd);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argvPointers.data(), envpPointers.data());
        _exit(127);
    }
    for (const int fd : {out, err, input}) {
        close(fd);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

std::vector<std::string> ChildProcess::Lines(const char* file) const {
    // A last line without its line feed is still being written.
    const std::string text = output_.Read(file);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

void ChildProcess::Signal(int signal) const {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signal);
    }
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || reaped_) {
        return status_;
    }
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    reaped_ = true;
    status_ = !ended ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    const int status = child.Wait();
    return {status, child.Out(), child.Err()};
}

OrbtrayProcess::OrbtrayProcess(const std::string& dataFolder, std::uint16_t port,
                               const std::vector<std::string>& environment,
                               const std::vector<std::string>& arguments)
    : ChildProcess(
          kOrbtrayPath,
          [&] {
              std::vector<std::string> all = {"--data-folder", dataFolder, "--port",
                                              std::to_string(port)};
              all.insert(all.end(), arguments.begin(), arguments.end());
              return all;
          }(),
          environment) {}

bool OrbtrayProcess::Ready() const {
    return WaitUntil([&] { return CountContaining(Out(), "orbtray: receiving into ") > 0; });
}

int OrbtrayProcess::Stop() {
    Signal(SIGTERM);
    return Wait();
}

int OrbtrayProcess::Threads() const {
    std::error_code error;
    const std::filesystem::directory_iterator tasks("/proc/" + std::to_string(Pid()) + "/task",
                                                    error);
    return error ? 0 : static_cast<int>(std::distance(tasks, {}));
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const auto& line) { return line.find(text) != std::string::npos; }));
}

std::vector<std::string> LinesOf(const std::vector<std::string>& log, const std::string& name) {
    const std::string prefix = "Connection " + name + " ";
    std::vector<std::string> lines;
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

std::vector<std::string> ConnectionNames(const std::vector<std::string>& log) {
    // Not "Connection S7 refused, too many connections from 127.0.0.1".
    const std::regex accepted("Connection (S[0-9]+) from [0-9.]+");
    std::vector<std::string> names;
    std::smatch match;
    for (const auto& line : log) {
        if (std::regex_match(line, match, accepted)) {
            names.push_back(match[1]);
        }
    }
    return names;
}

std::string StoredFile(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const auto& line : lines) {
        bytes += line + "\r\n";
    }
    return bytes;
}

std::string Conversation(const std::string& serial, const std::vector<std::string>& lines) {
    std::string bytes = "HELLO " + serial + "\r\n";
    for (const auto& line : lines) {
        bytes += "LINE " + line + "\r\n";
    }
    return bytes + "BYE\r\n";
}
