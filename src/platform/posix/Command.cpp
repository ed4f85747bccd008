// RunCommand runs entirely on the caller's thread; nothing here is shared between threads.
#include "platform/Command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// "name=value" strings of the current environment with `additions` put in by name.
std::vector<std::string> MergedEnvironment(
    const std::vector<std::pair<std::string, std::string>>& additions) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [addedName, value] : additions) {
            replaced = replaced || addedName == name;
        }
        if (!replaced) {
            entries.emplace_back(text);
        }
    }
    for (const auto& [name, value] : additions) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

// A pipe whose ends are close-on-exec, so that no other child ever inherits them, and lie above
// 0, 1 and 2, so that putting the write end in place as the child's 1 or 2 cannot clobber the
// other pipe when the receiver was started with those closed.
bool MakePipe(int ends[2]) {
    int raw[2];
    if (::pipe2(raw, O_CLOEXEC) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        ends[i] = raw[i] > 2 ? raw[i] : ::fcntl(raw[i], F_DUPFD_CLOEXEC, 3);
        if (ends[i] != raw[i]) {
            ::close(raw[i]);
        }
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

void Close(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The shell, in a process group of its own that it and everything it starts share. Unless it
// has been reaped, leaving a scope (by a return or an exception from the caller's line
// handler) kills the group and reaps the shell, so no process outlives a stopped call and no
// zombie is left.
struct Child {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;

    bool TryReap() {
        if (!reaped && ::waitpid(pid, &status, WNOHANG) == pid) {
            reaped = true;
        }
        return reaped;
    }
    void KillAll() {
        // The group keeps the shell's number while any member lives, even after the shell was
        // reaped, so this cannot hit a stranger while a left-behind child could still be there.
        ::kill(-pid, SIGKILL);
        while (!reaped) {
            if (::waitpid(pid, &status, 0) == pid || errno != EINTR) {
                reaped = true;
            }
        }
    }
    ~Child() {
        if (pid > 0 && !reaped) {
            KillAll();
        }
    }
};

struct Stream {
    int fd = -1;
    OutputLines lines;

    ~Stream() { Close(fd); }
};

CommandEnd NotStarted(int error) {
    CommandEnd end;
    end.error = std::strerror(error);
    return end;
}

// Spawns the shell with the pipes' write ends as its 1 and 2 and an empty input.
int Spawn(const std::string& command, std::vector<std::string>& environment, int outWrite,
          int errWrite, pid_t* pid) {
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text = command;
    char* argv[] = {shell, dashC, text.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outWrite, 1);
    ::posix_spawn_file_actions_adddup2(&actions, errWrite, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    // Our own descriptors are close-on-exec, but one inherited from whoever started us, or
    // opened by a library without the flag, must not reach the command either.
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    // A group of its own to kill as one. Signals this process blocks or ignores (SIGPIPE,
    // for writes to closed sockets) would otherwise carry over into the command.
    sigset_t none;
    sigset_t defaults;
    ::sigemptyset(&none);
    ::sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) {
        ::sigaddset(&defaults, signal);
    }
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = ::posix_spawn(pid, shell, &actions, &attributes, argv, envp.data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    return error;
}

}  // namespace

CommandEnd RunCommand(const std::string& command,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      std::chrono::milliseconds timeout, const std::atomic<bool>& cancel,
                      const std::function<void(std::string_view line)>& outputLine) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::vector<std::string> merged = MergedEnvironment(environment);
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (!MakePipe(outPipe) || !MakePipe(errPipe)) {
        const int error = errno;
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            Close(fd);
        }
        return NotStarted(error);
    }
    Child child;
    const int error = Spawn(command, merged, outPipe[1], errPipe[1], &child.pid);
    // Only the child may hold the write ends: the streams end when it and its own children do.
    Close(outPipe[1]);
    Close(errPipe[1]);
    Stream streams[2] = {{outPipe[0], OutputLines(outputLine)},
                         {errPipe[0], OutputLines(outputLine)}};
    if (error != 0) {
        child.pid = -1;
        Close(streams[0].fd);
        Close(streams[1].fd);
        return NotStarted(error);
    }

    CommandEnd end;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        pollfd entries[2];
        nfds_t count = 0;
        for (Stream& stream : streams) {
            if (stream.fd >= 0) {
                entries[count++] = pollfd{stream.fd, POLLIN, 0};
            }
        }
        // With both streams closed this is the wait for the shell itself.
        ::poll(entries, count, kCommandTickMs);
        for (nfds_t i = 0; i < count; ++i) {
            if (entries[i].revents == 0) {
                continue;
            }
            Stream& stream = streams[0].fd == entries[i].fd ? streams[0] : streams[1];
            const ssize_t got = ::read(stream.fd, buffer.data(), buffer.size());
            if (got > 0) {
                stream.lines.Add(buffer.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                stream.lines.Finish();
                Close(stream.fd);
            }
        }
        if (child.TryReap() && streams[0].fd < 0 && streams[1].fd < 0) {
            end.how = CommandEnd::How::Exited;
            end.exitCode = ExitCodeOf(child.status);
            return end;
        }
        const bool cancelled = cancel.load();
        if (cancelled || Clock::now() >= deadline) {
            // Whatever holds the streams open is in the group; once it is killed nothing is
            // left worth waiting for. A partial line read so far, such as a prompt the command
            // hung on, still goes out.
            child.KillAll();
            for (Stream& stream : streams) {
                if (stream.fd >= 0) {
                    stream.lines.Finish();
                    Close(stream.fd);
                }
            }
            end.how = cancelled ? CommandEnd::How::Cancelled : CommandEnd::How::TimedOut;
            return end;
        }
    }
}

}  // namespace platform
