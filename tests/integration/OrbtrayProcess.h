#pragma once

// The built programs as child processes. Their standard output and error go to files of their
// own, read back as lists of lines, so that a test sees what a user would see on the terminal.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fakes/ScratchFolder.h"

inline constexpr char kOrbtrayPath[] = ORBTRAY_PATH;
inline constexpr char kOrbsimPath[] = ORBSIM_PATH;

class ChildProcess {
public:
    // Starts `program` with `arguments` and the test's own environment, with `environment`
    // entries ("NAME=value") added or replacing ones of the same name. Standard input is
    // /dev/null.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    // A child still running is killed: a failed assertion must not leave it behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Complete lines so far, without their line feeds.
    std::vector<std::string> Out() const { return Lines("out"); }
    std::vector<std::string> Err() const { return Lines("err"); }

    void Signal(int signal) const;
    // Waits for the child to end; its exit status, 128 + the signal that ended it, or -1 if it
    // was still running after `limit` (it is killed then).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    std::vector<std::string> Lines(const char* file) const;

    ScratchFolder output_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

struct Finished {
    int status;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

// Runs a program to its end.
Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments);

// orbtray receiving into `dataFolder` on `port`, with `arguments` added to its command line.
class OrbtrayProcess : public ChildProcess {
public:
    OrbtrayProcess(const std::string& dataFolder, std::uint16_t port,
                   const std::vector<std::string>& environment = {},
                   const std::vector<std::string>& arguments = {});

    // True once it has said it is receiving.
    bool Ready() const;
    // SIGTERM, then the exit status.
    int Stop();
    // Entries under /proc/<pid>/task.
    int Threads() const;
};

// Lines that contain `text`.
std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text);

// The log lines of connection `name` ("S7"), without the "Connection S7 " in front.
std::vector<std::string> LinesOf(const std::vector<std::string>& log, const std::string& name);

// The names of the connections accepted, in the order they were.
std::vector<std::string> ConnectionNames(const std::vector<std::string>& log);

// What the receiver stores for `lines`: each one ended by CR LF.
std::string StoredFile(const std::vector<std::string>& lines);

// The HELLO, LINE and BYE commands of one transfer.
std::string Conversation(const std::string& serial, const std::vector<std::string>& lines);
