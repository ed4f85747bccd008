#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace {

using platform::WaitResult;

constexpr int kLongMs = 10000;  // a limit only a broken wake-up ever reaches

unsigned SetAfter50Ms(void* event) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<platform::Event*>(event)->Set();
    return 0;
}

// Every link thread waits on its stop event first: a stop must win over a busy link, wake a
// sleeping wait, and stay set for every other thread that waits on it.
TEST(Threading, WaitForEitherPrefersFirstAndTimesOut) {
    const struct {
        const char* name;
        bool stopBefore;  // stop set before the wait starts
        bool stopDuring;  // stop set by another thread while the wait is asleep
        bool secondSet;
        int limitMs;
        WaitResult expected;
    } cases[] = {
        {"both set", true, false, true, kLongMs, WaitResult::First},
        {"stop only", true, false, false, kLongMs, WaitResult::First},
        {"stop while waiting", false, true, false, platform::kWaitForever, WaitResult::First},
        {"second only", false, false, true, kLongMs, WaitResult::Second},
        {"neither", false, false, false, 50, WaitResult::Timeout},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::Event stop, second;
        ASSERT_TRUE(stop.IsValid() && second.IsValid());
        if (c.stopBefore) {
            stop.Set();
        }
        if (c.secondSet) {
            second.Set();
        }
        platform::Thread setter;
        if (c.stopDuring) {
            ASSERT_TRUE(setter.Start(&SetAfter50Ms, &stop));
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), second.AsWaitable(), c.limitMs),
                  c.expected);
        if (c.expected == WaitResult::Timeout) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
        }
        setter.Join();
        // A wait only looks: it never consumes a manual-reset signal.
        EXPECT_EQ(stop.IsSet(), c.stopBefore || c.stopDuring);
        EXPECT_EQ(second.IsSet(), c.secondSet);
    }
}

struct Shared {
    platform::Mutex mutex;
    long counter = 0;
};

unsigned CountUnderLock(void* raw) {
    auto* shared = static_cast<Shared*>(raw);
    for (int i = 0; i < 20000; ++i) {
        platform::MutexLock lock(shared->mutex);
        ++shared->counter;
    }
    return 0;
}

// Four threads contend 20000 times each: an increment lost to a race shows in the count.
TEST(Threading, MutexGuardsACounter) {
    Shared shared;
    {
        std::vector<platform::Thread> threads(4);
        for (auto& thread : threads) {
            ASSERT_TRUE(thread.Start(&CountUnderLock, &shared));
        }
        // The destructors join.
    }
    EXPECT_EQ(shared.counter, 4 * 20000);
}

}  // namespace
