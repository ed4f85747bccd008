#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/ScratchFolder.h"
#include "platform/Command.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
using How = platform::CommandEnd::How;
using Clock = std::chrono::steady_clock;

// A child the command leaves behind writes this file a few seconds later unless it was killed;
// its absence is looked for once the file would long have been there. Under Wine every process
// takes a second or more to start, so the left-behind child there gets more time all through.
#ifdef _WIN32
constexpr auto kMarkerCheck = 10s;
#else
constexpr auto kMarkerCheck = 6s;
#endif

struct Row {
    const char* name = "";
    // "{dir}" stands for the row's own scratch folder; "in.txt" there holds `input`.
    std::string command{};
    std::string input{};
    std::chrono::milliseconds timeout = 30s;
    // Cancel once this line arrives, so that the command's children surely run by then.
    std::string cancelOn{};
    How how = How::Exited;
    int exitCode = 0;
    // Each stream's lines in order; the two streams' lines may interleave. Unchecked if `anyLines`.
    std::vector<std::string> out{};
    std::vector<std::string> err{};
    bool anyLines = false;
    bool leavesMarker = false;
};

struct Outcome {
    platform::CommandEnd end;
    std::vector<std::string> lines;
    Clock::duration took{};
    bool markerSeen = false;
};

const std::vector<std::pair<std::string, std::string>> kEnvironment = {
    {"ORB_ADDED", R"(a b "q" $HOME; x)"},
#ifdef _WIN32
    // Windows names are the same in any case.
    {"orb_replaced", "new"},
#else
    {"ORB_REPLACED", "new"},
#endif
};

const std::string kLongInput = std::string(10000, 'x') + "\r\nmid\r\ntail";

std::vector<Row> Rows() {
    const std::string cut(platform::kCommandLineLimit, 'x');
#ifdef _WIN32
    return {
        {.name = "both streams",
         .command = "echo o1& echo e1>&2& echo o2& echo e2>&2& echo o3& echo e3>&2",
         .out = {"o1", "o2", "o3"},
         .err = {"e1", "e2", "e3"}},
        {.name = "exit 75", .command = "exit 75", .exitCode = 75},
        {.name = "exit 3", .command = "echo bye& exit 3", .exitCode = 3, .out = {"bye"}},
        {.name = "environment",
         .command = "echo %ORB_ADDED%& echo %ORB_REPLACED%& echo %ORB_KEPT%",
         .out = {R"(a b "q" $HOME; x)", "new", "kept"}},
        {.name = "not found",
         .command = "orbtray-no-such-command",
         .exitCode = 9009,
         .anyLines = true},
        {.name = "long line",
         .command = "type {dir}in.txt",
         .input = kLongInput,
         .out = {cut, "mid", "tail"}},
        {.name = "hang",
         .command = "ping -n 60 127.0.0.1 >NUL",
         .timeout = 1s,
         .how = How::TimedOut},
        {.name = "child holds the output",
         .command = "echo started& start /b cmd /c \"ping -n 12 127.0.0.1 >NUL & echo "
                    "late>{dir}marker\"",
         .timeout = 5s,
         .how = How::TimedOut,
         .out = {"started"},
         .leavesMarker = true},
        {.name = "cancel",
         .command = "start /b cmd /c \"ping -n 4 127.0.0.1 >NUL & echo late>{dir}marker\"& "
                    "echo started& ping -n 60 127.0.0.1 >NUL",
         .cancelOn = "started",
         .how = How::Cancelled,
         .out = {"started"},
         .leavesMarker = true},
    };
#else
    return {
        {.name = "both streams",
         .command = "echo o1; echo e1 >&2; printf 'o2\\r\\n'; echo e2 >&2; echo o3; printf e3 >&2",
         .out = {"o1", "o2", "o3"},
         .err = {"e1", "e2", "e3"}},
        {.name = "exit 75", .command = "exit 75", .exitCode = 75},
        {.name = "exit 3", .command = "echo bye; exit 3", .exitCode = 3, .out = {"bye"}},
        {.name = "environment",
         .command = R"(printf '%s\n' "$ORB_ADDED" "$ORB_REPLACED" "$ORB_KEPT")",
         .out = {R"(a b "q" $HOME; x)", "new", "kept"}},
        {.name = "not found",
         .command = "orbtray-no-such-command",
         .exitCode = 127,
         .anyLines = true},
        {.name = "long line",
         .command = "cat '{dir}in.txt'",
         .input = kLongInput,
         .out = {cut, "mid", "tail"}},
        // ls's own listing of the folder is the 3.
        {.name = "only 0, 1 and 2", .command = "ls /proc/self/fd", .out = {"0", "1", "2", "3"}},
        {.name = "hang", .command = "sleep 60", .timeout = 1s, .how = How::TimedOut},
        {.name = "child holds the output",
         .command = "(sleep 3; echo late > '{dir}marker') & echo started",
         .timeout = 1s,
         .how = How::TimedOut,
         .out = {"started"},
         .leavesMarker = true},
        {.name = "cancel",
         .command = "(sleep 3; echo late > '{dir}marker') & echo started; sleep 60",
         .cancelOn = "started",
         .how = How::Cancelled,
         .out = {"started"},
         .leavesMarker = true},
    };
#endif
}

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    setenv(name, value, 1);
#endif
}

std::string Replaced(std::string text, const std::string& dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) {
        text.replace(at, 5, dir);
    }
    return text;
}

Outcome RunRow(const Row& row) {
    ScratchFolder dir;
    if (!row.input.empty()) {
        dir.Write("in.txt", row.input);
    }
    Outcome outcome;
    std::atomic<bool> cancel{false};
    const Clock::time_point start = Clock::now();
    outcome.end = platform::RunCommand(Replaced(row.command, dir.Path()), kEnvironment, row.timeout,
                                       cancel, [&](std::string_view line) {
                                           outcome.lines.emplace_back(line);
                                           if (!row.cancelOn.empty() && line == row.cancelOn) {
                                               cancel = true;
                                           }
                                       });
    outcome.took = Clock::now() - start;
    if (row.leavesMarker) {
        std::this_thread::sleep_for(kMarkerCheck);
        outcome.markerSeen = std::filesystem::exists(dir.Path() + "marker");
    }
    return outcome;
}

// Lines of `lines` that are in `wanted`, in their order.
std::vector<std::string> Only(const std::vector<std::string>& lines,
                              const std::vector<std::string>& wanted) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (std::find(wanted.begin(), wanted.end(), line) != wanted.end()) {
            kept.push_back(line);
        }
    }
    return kept;
}

// The rows run side by side: that keeps the slow ones from adding up, and each command's pipes
// must end with its own children even while other commands are being started.
TEST(Command, RunsThroughTheShellAndEndsEverythingItStartedWhenStopped) {
    SetVariable("ORB_REPLACED", "old");
    SetVariable("ORB_KEPT", "kept");
#ifndef _WIN32
    // As a descriptor of a library or of our own parent that lacks close-on-exec would.
    const int inheritable = ::open("/dev/null", O_RDONLY);
#endif
    const std::vector<Row> rows = Rows();
    std::vector<Outcome> outcomes(rows.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        threads.emplace_back([&, i] { outcomes[i] = RunRow(rows[i]); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
#ifndef _WIN32
    ::close(inheritable);
#endif
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const Outcome& outcome = outcomes[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(outcome.end.how, row.how) << outcome.end.error;
        if (row.how == How::Exited) {
            EXPECT_EQ(outcome.end.exitCode, row.exitCode);
        }
        if (!row.anyLines) {
            EXPECT_EQ(outcome.lines.size(), row.out.size() + row.err.size())
                << testing::PrintToString(outcome.lines);
            EXPECT_EQ(Only(outcome.lines, row.out), row.out);
            EXPECT_EQ(Only(outcome.lines, row.err), row.err);
        }
        // The commands that are stopped would run a minute.
        EXPECT_LT(outcome.took, 20s);
        EXPECT_FALSE(outcome.markerSeen);
    }
}

#ifdef _WIN32
// Only on Windows can the shell's place be changed; a pipe that cannot be made is not a case a
// test can arrange portably.
TEST(Command, NotStartedSaysWhy) {
    char saved[MAX_PATH] = {};
    GetEnvironmentVariableA("ComSpec", saved, sizeof saved);
    SetEnvironmentVariableA("ComSpec", "C:\\no-such-folder\\cmd.exe");
    std::atomic<bool> cancel{false};
    const platform::CommandEnd end =
        platform::RunCommand("exit 0", {}, 5s, cancel, [](std::string_view) {});
    SetEnvironmentVariableA("ComSpec", saved);
    EXPECT_EQ(end.how, How::NotStarted);
    EXPECT_FALSE(end.error.empty());
}
#endif

}  // namespace
