#pragma once

// The built programs as child processes. Their standard output and error go to files of their
// own, read back as lists of lines, so that a test sees what a user would see on the terminal.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "fakes/Loopback.h"
#include "fakes/ScratchFolder.h"

using Lines = std::vector<std::string>;

inline constexpr char kOrbtrayPath[] = ORBTRAY_PATH;
inline constexpr char kOrbsimPath[] = ORBSIM_PATH;

class ChildProcess {
public:
    // Starts `program` with `arguments` and the test's own environment plus `environment`
    // ("NAME=value"). Standard input is /dev/null.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    // A child still running is killed: a failed assertion must not leave it behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Complete lines so far, without their line feeds.
    std::vector<std::string> Out() const { return Lines("out"); }
    std::vector<std::string> Err() const { return Lines("err"); }
    // Waits up to 30 s for the child to end; its exit status, 128 + the signal that ended it, or
    // -1 if it was still running (it is killed then).
    int Wait();
    // SIGTERM (or `signal`), then the exit status.
    int Stop(int signal = SIGTERM);
    // Entries under /proc/<pid>/task.
    int Threads() const;
    // The most memory the process has held at once (VmHWM), in KiB; 0 once it has ended.
    long PeakMemoryKb() const;

private:
    std::vector<std::string> Lines(const char* file) const;

    ScratchFolder output_;
    pid_t pid_ = -1;
    int status_ = -2;  // -2 while not reaped
};

struct Finished {
    int status;
    std::vector<std::string> out, err;
};

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments);

// orbtray receiving into `dataFolder` on `port`, with `arguments` added to its command line.
class OrbtrayProcess : public ChildProcess {
public:
    OrbtrayProcess(const std::string& dataFolder, std::uint16_t port,
                   const std::vector<std::string>& environment = {},
                   const std::vector<std::string>& arguments = {});
    // True once it has said it is receiving.
    bool Ready() const;
};

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text);

// What the receiver stores for `lines`: each one ended by CR LF.
std::string StoredFile(const std::vector<std::string>& lines);

// The HELLO, LINE and BYE commands of one transfer.
std::string Conversation(const std::string& serial, const std::vector<std::string>& lines);

// orbtray on a scratch Data folder; a failure shows how it ended and what it said last.
class OrbtrayTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string>& environment = {},
               const std::vector<std::string>& arguments = {}) {
        orbtray = std::make_unique<OrbtrayProcess>(data.Path(), port, environment, arguments);
        ASSERT_TRUE(orbtray->Ready()) << ::testing::PrintToString(orbtray->Err());
    }
    // Starts it serving its page as well, at `address`:webPort.
    void StartWeb(const std::vector<std::string>& more = {},
                  const std::string& address = "127.0.0.1") {
        const std::string where = address + ":" + std::to_string(webPort);
        std::vector<std::string> arguments{"--no-usb-scan", "--web", where};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ASSERT_NO_FATAL_FAILURE(Start({}, arguments));
        ASSERT_TRUE(Said("orbtray: web page at http://" + where + "/"));
    }
    std::size_t Count(const std::string& text) const {
        return CountContaining(orbtray->Err(), text);
    }
    // Waits until `text` is in `times` lines of the log (stderr) or of what the user is told
    // (stdout).
    bool Logged(const std::string& text, std::size_t times = 1,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        return WaitUntil([&] { return Count(text) >= times; }, limit);
    }
    bool Said(const std::string& text, std::size_t times = 1,
              std::chrono::milliseconds limit = std::chrono::seconds(30)) const {
        return WaitUntil([&] { return CountContaining(orbtray->Out(), text) >= times; }, limit);
    }
    void TearDown() override {
        if (HasFailure() && orbtray) {
            const int status = orbtray->Stop();
            const auto last = [](std::vector<std::string> lines) {
                lines.erase(lines.begin(), lines.end() - std::min<std::size_t>(lines.size(), 20));
                return ::testing::PrintToString(lines);
            };
            std::cerr << "orbtray exit status " << status << "\nstdout: " << last(orbtray->Out())
                      << "\nstderr: " << last(orbtray->Err()) << "\n";
        }
    }

    ScratchFolder data;
    std::uint16_t port = FreePort();
    std::uint16_t webPort = FreePort();
    std::unique_ptr<OrbtrayProcess> orbtray;
};
