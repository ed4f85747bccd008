#include <gtest/gtest.h>

#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace {

using platform::WaitResult;

constexpr int kLongMs = 10000;  // a limit only a broken wake-up ever reaches

// Every link thread waits on its stop event first: a stop must win over a busy link and stay set
// for every other thread that waits on it. Waking a sleeping wait is what every stop in the link
// tests does.
TEST(Threading, WaitForEitherPrefersTheStopAndConsumesNothing) {
    platform::Event stop, second;
    ASSERT_TRUE(stop.IsValid() && second.IsValid());
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), second.AsWaitable(), 50),
              WaitResult::Timeout);
    second.Set();
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), second.AsWaitable(), kLongMs),
              WaitResult::Second);
    stop.Set();
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), second.AsWaitable(), kLongMs),
              WaitResult::First);
    // A wait only looks: it never consumes a manual-reset signal.
    EXPECT_TRUE(stop.IsSet() && second.IsSet());
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
