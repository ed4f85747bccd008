#include "integration/OrbtrayProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    // env adds `environment` to ours and becomes the program. The test process ignores SIGPIPE;
    // a user's shell would not.
    std::vector<std::string> all{"/usr/bin/env", "--default-signal=PIPE"};
    all.insert(all.end(), environment.begin(), environment.end());
    all.push_back(program);
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (output_.Path() + "out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, (output_.Path() + "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Sockets of the test must not live on in the child, or a close by the test would not reach
    // the receiver.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ) != 0) {
        status_ = -1;  // nothing to kill or wait for
    }
    posix_spawn_file_actions_destroy(&files);
}

ChildProcess::~ChildProcess() {
    if (status_ == -2) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

std::vector<std::string> ChildProcess::Lines(const char* file) const {
    // A last line without its line feed is still being written.
    const std::string text = output_.Read(file);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != text.npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

int ChildProcess::Wait() {
    int status = 0;
    if (status_ != -2) {
        return status_;
    }
    if (WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                  std::chrono::seconds(30))) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        status_ = -1;
    }
    return status_;
}

int ChildProcess::Stop(int signal) {
    if (status_ == -2) {
        kill(pid_, signal);
    }
    return Wait();
}

int ChildProcess::Threads() const {
    std::error_code error;
    const std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid_) + "/task",
                                                    error);
    return error ? 0 : static_cast<int>(std::distance(tasks, {}));
}

long ChildProcess::PeakMemoryKb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
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
              std::vector<std::string> all{"--data-folder", dataFolder, "--port",
                                           std::to_string(port)};
              all.insert(all.end(), arguments.begin(), arguments.end());
              // The page's default address is this machine's one and only: a test serves the
              // page only where it says.
              if (std::ranges::find(arguments, "--web") == arguments.end()) {
                  all.insert(all.end(), {"--web", "off"});
              }
              return all;
          }(),
          environment) {}

bool OrbtrayProcess::Ready() const {
    return WaitUntil([&] { return CountContaining(Out(), "orbtray: receiving into ") > 0; });
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(std::ranges::count_if(
        lines, [&](const auto& line) { return line.find(text) != std::string::npos; }));
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
