#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "platform/Waitable.h"

namespace {

using platform::WaitResult;
using SteadyClock = std::chrono::steady_clock;

constexpr int kLongMs = 10000;  // a limit only a broken wake-up ever reaches

struct Delayed {
    platform::Event* event;
    int delayMs;
};

unsigned SetLater(void* raw) {
    const auto* job = static_cast<Delayed*>(raw);
    std::this_thread::sleep_for(std::chrono::milliseconds(job->delayMs));
    job->event->Set();
    return 0;
}

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
        Delayed job{&stop, 50};
        platform::Thread setter;
        if (c.stopDuring) {
            ASSERT_TRUE(setter.Start(&SetLater, &job));
        }
        const auto start = SteadyClock::now();
        EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), second.AsWaitable(), c.limitMs),
                  c.expected);
        if (c.expected == WaitResult::Timeout) {
            EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(40));
        }
        setter.Join();
        // A wait only looks: it never consumes a manual-reset signal.
        EXPECT_EQ(stop.IsSet(), c.stopBefore || c.stopDuring);
        EXPECT_EQ(second.IsSet(), c.secondSet);
    }
}

struct Waiter {
    platform::Event* event;
    WaitResult result = WaitResult::Failed;
};

unsigned WaitOnEvent(void* raw) {
    auto* waiter = static_cast<Waiter*>(raw);
    waiter->result = platform::WaitFor(waiter->event->AsWaitable(), kLongMs);
    return 0;
}

TEST(Threading, EventStaysSetForEveryWaiterUntilReset) {
    platform::Event event;
    std::vector<Waiter> waiters(4, Waiter{&event});
    std::vector<platform::Thread> threads(waiters.size());
    for (std::size_t i = 0; i < threads.size(); ++i) {
        ASSERT_TRUE(threads[i].Start(&WaitOnEvent, &waiters[i]));
    }
    event.Set();
    event.Set();
    for (auto& thread : threads) {
        thread.Join();
    }
    for (const auto& waiter : waiters) {
        EXPECT_EQ(waiter.result, WaitResult::First);
    }
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(platform::WaitFor(event.AsWaitable(), 0), WaitResult::First);

    // One Reset clears it however often it was set.
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(platform::WaitFor(event.AsWaitable(), 20), WaitResult::Timeout);
}

struct Gate {
    platform::Event release;
    int argumentSeen = 0;
};

unsigned HoldUntilReleased(void* raw) {
    auto* gate = static_cast<Gate*>(raw);
    ++gate->argumentSeen;
    platform::WaitFor(gate->release.AsWaitable(), kLongMs);
    return 0;
}

TEST(Threading, ThreadRunsEntryAndGivesItsThreadBack) {
    Gate gate;
    const int before = platform::CountProcessThreads();
    platform::Thread thread;
    EXPECT_FALSE(thread.IsStarted());
    ASSERT_TRUE(thread.Start(&HoldUntilReleased, &gate));
    EXPECT_TRUE(thread.IsStarted());
    if (before != -1) {
        EXPECT_EQ(platform::CountProcessThreads(), before + 1);
    }

    // Moving hands the running thread over; the moved-from object owns nothing.
    platform::Thread owner(std::move(thread));
    EXPECT_FALSE(thread.IsStarted());
    EXPECT_TRUE(owner.IsStarted());
    platform::Thread assigned;
    assigned = std::move(owner);
    EXPECT_FALSE(owner.IsStarted());

    gate.release.Set();
    assigned.Join();
    EXPECT_FALSE(assigned.IsStarted());
    EXPECT_EQ(gate.argumentSeen, 1);
    if (before != -1) {
        EXPECT_EQ(platform::CountProcessThreads(), before);
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
