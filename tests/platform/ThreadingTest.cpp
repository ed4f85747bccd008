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

// Four threads contend 20000 times each: an increment lost to a race shows in the count.
TEST(Threading, MutexGuardsACounter) {
    static platform::Mutex mutex;
    static long counter;
    counter = 0;
    {
        std::vector<platform::Thread> threads(4);
        for (auto& thread : threads) {
            ASSERT_TRUE(thread.Start(
                [](void*) -> unsigned {
                    for (int i = 0; i < 20000; ++i) {
                        platform::MutexLock lock(mutex);
                        ++counter;
                    }
                    return 0;
                },
                nullptr));
        }
        // The destructors join.
    }
    EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
