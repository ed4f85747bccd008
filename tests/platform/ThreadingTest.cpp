#include <gtest/gtest.h>

#include "platform/Event.h"

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

}  // namespace
