#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/RecordingSinks.h"
#include "link/EventQueue.h"
#include "link/LogCeiling.h"
#include "link/LogLimiter.h"

namespace {

// Texts longer than their buffers are cut, never overrun; a cut log line keeps its line feed so
// the next one still starts a line of its own.
TEST(Reporting, OverLongLinesAndNoticesAreCutToTheirBuffers) {
    RecordingEvents log;
    const std::string serial(400, 'x');
    ConnectionLog(log, "Connection %s serial number is %s\n", "COM5", serial.c_str());
    const std::string exact(259 - 11 - 1, 'y');  // "Connection ", the text, the line feed
    ConnectionLog(log, "Connection %s\n", exact.c_str());
    ReceivedFile file;
    file.path = "p";
    file.serial = serial;
    file.lineCount = 1;
    NotifyUserFile(log, file);

    const std::string cut = "Connection COM5 serial number is " + serial;
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{cut.substr(0, 258) + "\n", "Connection " + exact + "\n"}));
    EXPECT_EQ(
        log.Notices(),
        (std::vector<RecordedNotice>{{"File Received", "Device " + serial.substr(0, 248), "p"}}));
}

// A front end that stops taking events (a hung window) costs the links nothing: what does not
// fit the queue is counted and said once, a received file is never dropped, and everything kept
// is handed over in order once the front end goes on.
TEST(Reporting, AStalledFrontEndLosesNoFileAndCountsWhatItMissed) {
    struct Stalled final : RecordingEvents {
        void Report(const ReceiverEvent& event) override {
            std::unique_lock<std::mutex> lock(gate);
            opened.wait(lock, [&] { return open; });
            lock.unlock();
            RecordingEvents::Report(event);
        }
        std::mutex gate;
        std::condition_variable opened;
        bool open = false;
    } frontEnd;
    const std::size_t extra = 7;
    {
        EventQueue queue({&frontEnd});
        ASSERT_TRUE(queue.Running());
        for (std::size_t i = 0; i < EventQueue::kMaxWaiting + 1 + extra; ++i) {
            ConnectionLog(queue, "Connection S%zu opened\n", i);
        }
        // Progress that does not fit is dropped without a word: it is told again soon.
        for (std::uint32_t i = 0; i < 5; ++i) {
            ReportTransferProgress(queue, &frontEnd, ReceivedFile{});
        }
        for (std::uint32_t i = 0; i < 3; ++i) {
            ReceivedFile file;
            file.path = "f" + std::to_string(i);
            file.lineCount = i;
            NotifyUserFile(queue, file);
        }
        {
            std::lock_guard<std::mutex> lock(frontEnd.gate);
            frontEnd.open = true;
        }
        frontEnd.opened.notify_all();
    }
    const std::vector<std::string> lines = frontEnd.Lines();
    // One line was in the front end's hands when the queue filled up: beyond that only the
    // queue's share is kept.
    ASSERT_GE(lines.size(), EventQueue::kMaxWaiting + 1);
    const std::size_t kept = lines.size() - 1;
    EXPECT_LE(kept, EventQueue::kMaxWaiting + 1);
    for (std::size_t i = 0; i < kept; ++i) {
        ASSERT_EQ(lines[i], "Connection S" + std::to_string(i) + " opened\n");
    }
    EXPECT_EQ(lines.back(), "Connection events " +
                                std::to_string(EventQueue::kMaxWaiting + 1 + extra - kept) +
                                " more messages suppressed\n");
    const std::vector<RecordedNotice> notices = frontEnd.Notices();
    ASSERT_EQ(notices.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(notices[i].path, "f" + std::to_string(i));
    }
}

// A source that repeats itself is written 20 times a second; the rest is counted and summed up
// when its second is over or the source goes away, never dropped unsaid.
TEST(Reporting, RepeatedLinesAreSummedUpOnceASecondAndAtTheEnd) {
    using namespace std::chrono_literals;
    RecordingEvents log;
    LogLimiter::Clock::time_point now{};
    const auto clock = [&] { return now; };
    LogCeiling ceiling(log, "others", clock);
    {
        LogLimiter limiter("COM5", ceiling, clock);
        const auto say = [&](int times) {
            for (int i = 0; i < times; ++i) limiter.Log("Connection %s invalid command\n", "COM5");
        };
        const struct {
            std::chrono::milliseconds at;
            int lines;
            bool final;
            std::size_t written;  // lines of the log after this step
            const char* last;
        } steps[] = {
            {0ms, 25, false, 20, "Connection COM5 invalid command\n"},
            {999ms, 3, false, 20, "Connection COM5 invalid command\n"},  // same second
            {1000ms, 0, false, 21, "Connection COM5 8 more messages suppressed\n"},
            {1200ms, 22, false, 41, "Connection COM5 invalid command\n"},
            {1300ms, 0, false, 41, "Connection COM5 invalid command\n"},  // not yet due
            {3000ms, 1, false, 43, "Connection COM5 invalid command\n"},  // sum first
            {3100ms, 30, true, 63, "Connection COM5 11 more messages suppressed\n"},
        };
        for (const auto& step : steps) {
            now = LogLimiter::Clock::time_point{} + step.at;
            say(step.lines);
            limiter.Flush(step.final);
            const std::vector<std::string> lines = log.Lines();
            ASSERT_EQ(lines.size(), step.written) << step.at.count();
            EXPECT_EQ(lines.back(), step.last) << step.at.count();
        }
        EXPECT_EQ(log.Lines()[41], "Connection COM5 2 more messages suppressed\n");
    }
    EXPECT_EQ(log.Lines().size(), 63u);
}

}  // namespace
