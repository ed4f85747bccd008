// Many instruments at once against the real orbtray: a crowd that connects in one burst up to the
// connection cap is served whole, the surplus is turned away without harming the rest, and each
// link's thread is given back. One serial over many links at once is the store's own test, where
// the race between its links is run many times.

#include <algorithm>
#include <chrono>
#include <latch>
#include <thread>

#include "integration/OrbtrayProcess.h"

namespace {

using OrbtrayLoad = OrbtrayTest;

// Runs body(0) ... body(count - 1) on threads of their own, released together, so that their
// connects reach the receiver as one burst.
void AtOnce(std::size_t count, const std::function<void(std::size_t)>& body) {
    std::latch start(static_cast<std::ptrdiff_t>(count));
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// The cap per address, with its own log line, is covered where it also runs under Wine.
TEST_F(OrbtrayLoad, ABurstUpToTheCapIsServedWholeTheSurplusTurnedAwayAndEveryThreadGivenBack) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const int baseline = orbtray->Threads();
    // 256 connect in one burst, sixteen from each address, and stay open; then one from a fresh
    // address, once there is room.
    struct Instrument {
        std::string serial;
        Lines lines;
        platform::Socket socket;
    };
    std::vector<Instrument> instruments(257);
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        instruments[i].serial = "OX" + std::to_string(40000 + i);
        for (int n = 0; n < 200; ++n) {
            instruments[i].lines.push_back("2025-12-14 02:54:17," + instruments[i].serial + "," +
                                           std::to_string(n) + ",mm");
        }
    }
    AtOnce(256,
           [&](std::size_t i) { instruments[i].socket = ConnectWithRetry(port, SpreadSource(i)); });
    // Each is served by a thread of its own. (So many connections in one second are more than
    // the log writes lines for; the flood tests count those.)
    ASSERT_TRUE(
        WaitUntil([&] { return orbtray->Threads() == baseline + 256; }, std::chrono::seconds(30)))
        << orbtray->Threads() << " threads, " << baseline << " before";
    Instrument& again = instruments.back();

    platform::Socket surplus = ConnectWithRetry(port, SpreadSource(256));
    EXPECT_TRUE(ClosedQuietly(surplus));

    // Once one held connection has ended (and so can be reaped), its place is free again. The
    // receiver closes its end only once the link has been given up.
    const auto transfer = [&](std::size_t i) {
        SendAndFinish(instruments[i].socket,
                      Conversation(instruments[i].serial, instruments[i].lines));
    };
    Send(instruments[0].socket, Conversation(instruments[0].serial, instruments[0].lines));
    instruments[0].socket.ShutdownSend();
    ASSERT_TRUE(ClosedQuietly(instruments[0].socket));
    again.socket = ConnectWithRetry(port, SpreadSource(256));
    // The rest all at once, so that the transfers interleave.
    AtOnce(256, [&](std::size_t i) { transfer(i + 1); });
    ASSERT_TRUE(WaitUntil(
        [&] { return CountContaining(orbtray->Out(), "File Received") == instruments.size(); },
        std::chrono::seconds(30)));
    // Sorted by name, and so by serial.
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), instruments.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_TRUE(files[i].starts_with(instruments[i].serial + "/")) << files[i];
        EXPECT_EQ(data.Read(files[i]), StoredFile(instruments[i].lines)) << files[i];
    }
    // Every one was let in but the surplus: none was turned away for its address's sake.
    EXPECT_EQ(Count("too many connections from"), 0u);
    // Finished workers are reaped when the listener has a quiet second.
    EXPECT_TRUE(WaitUntil([&] { return orbtray->Threads() == baseline; }))
        << orbtray->Threads() << " threads, " << baseline << " before";
    EXPECT_EQ(orbtray->Stop(), 0);
}

// A host that keeps connecting over its cap is turned away every time, but the log says so only
// a few times a second and sums up the rest: nothing is lost, and the held links are unharmed.
TEST_F(OrbtrayLoad, RefusalsOverTheCapAreSummedUpNotEachLogged) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const platform::Ipv4Endpoint host{{127, 0, 0, 5}, 0};
    std::vector<platform::Socket> held;
    for (int i = 0; i < 16; ++i) {
        held.push_back(ConnectWithRetry(port, host));
    }
    ASSERT_TRUE(WaitUntil([&] { return Count(" from 127.0.0.5") == 16; }));
    const std::size_t before = orbtray->Err().size();
    // Up to 3,000 connects, but for 4 s at most: the held links go idle meanwhile, and one that
    // reaches the 10 s time-out would free a place and let connects in.
    const auto start = std::chrono::steady_clock::now();
    std::size_t flood = 0;
    while (flood < 3000 && std::chrono::steady_clock::now() - start < std::chrono::seconds(4)) {
        ConnectWithRetry(port, host);
        ++flood;
    }
    // Each refusal is either written or counted in a summary.
    const auto refusals = [&] {
        std::size_t total = Count("refused, too many connections from 127.0.0.5");
        for (const std::string& line : LinesOf(orbtray->Err(), "127.0.0.5")) {
            total += std::stoul(line);  // "<count> more messages suppressed"
        }
        return total;
    };
    ASSERT_TRUE(WaitUntil([&] { return refusals() >= flood; })) << refusals();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(refusals(), flood);
    EXPECT_LT(double(orbtray->Err().size() - before), 100 * std::max(seconds, 1.0));
    SendAndFinish(held[0], Conversation("OX7", {"a,1", "b,2"}));
    ASSERT_TRUE(Said("File Received"));
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), StoredFile({"a,1", "b,2"}));
    EXPECT_EQ(orbtray->Stop(), 0);
}

}  // namespace
