#include "integration/OrbtrayProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "fakes/Loopback.h"

extern char** environ;

namespace {

// Complete lines move from `pending` to `lines`; a last line without a line feed stays pending.
void TakeLines(std::string& pending, std::vector<std::string>& lines) {
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(pending.substr(start, end - start));
    }
    pending.erase(0, start);
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    // Everything the child needs is built before the fork: between fork and exec only
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
    std::vector<char*> argvPointers = Pointers(argv);
    std::vector<char*> envpPointers = Pointers(envp);

    // Close-on-exec, so that a child started later does not hold this one's pipes open.
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        const int input = open("/dev/null", O_RDONLY);
        dup2(input, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
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
    close(out[1]);
    close(err[1]);
    if (pid_ < 0) {
        close(out[0]);
        close(err[0]);
        return;
    }
    reader_ = std::thread([this, outFd = out[0], errFd = err[0]] { ReadOutput(outFd, errFd); });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Wait();
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

void ChildProcess::ReadOutput(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string pending[2];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t count = read(fds[i].fd, buffer, sizeof buffer);
            if (count <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            pending[i].append(buffer, static_cast<std::size_t>(count));
            std::lock_guard<std::mutex> lock(mutex_);
            TakeLines(pending[i], i == 0 ? out_ : err_);
        }
    }
}

std::vector<std::string> ChildProcess::Out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::vector<std::string> ChildProcess::Err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
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
    // The output is complete once both pipes have reached their end.
    if (reader_.joinable()) {
        reader_.join();
    }
    return status_;
}

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments) {
    ChildProcess child(program, arguments);
    const int status = child.Wait();
    return {status, child.Out(), child.Err()};
}

OrbtrayProcess::OrbtrayProcess(const std::string& dataFolder, std::uint16_t port,
                               const std::vector<std::string>& environment)
    : ChildProcess(kOrbtrayPath, {"--data-folder", dataFolder, "--port", std::to_string(port)},
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
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(Pid()) + "/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    std::size_t count = 0;
    for (const auto& line : lines) {
        count += line.find(text) != std::string::npos;
    }
    return count;
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

std::string ConnectionOfSerial(const std::vector<std::string>& log, const std::string& serial) {
    const std::string prefix = "Connection ";
    const std::string ending = " serial number is " + serial;
    for (const auto& line : log) {
        if (line.rfind(prefix, 0) == 0 && line.ends_with(ending)) {
            return line.substr(prefix.size(), line.size() - prefix.size() - ending.size());
        }
    }
    return {};
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
