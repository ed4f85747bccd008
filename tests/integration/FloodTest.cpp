// Floods against the real orbtray: whatever hosts or a device repeat, the log writes a few lines
// a second per source and under a hundred from all of them together, sums up the rest so that
// every line is either written or counted, and a real transfer in the middle of it all is stored
// and told as ever.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "integration/OrbtrayProcess.h"
#include "integration/TestPty.h"

namespace {

using namespace std::chrono_literals;

// One connection that sends `bytes`, ends its side and waits for the receiver to close: the
// receiver has then reported the link finished, so that it never counts against the address's
// cap. True if it was made.
bool ShortConnection(std::uint16_t port, std::uint8_t host, const std::string& bytes) {
    const platform::Ipv4Endpoint from = {{127, 0, 0, host}, 0};
    int error = 0;
    platform::Socket socket =
        platform::Socket::ConnectTcp(platform::kLoopback(port), &error, &from);
    if (!socket.IsValid()) {
        return false;
    }
    Send(socket, bytes);
    socket.ShutdownSend();
    ClosedQuietly(socket);
    return true;
}

enum Source : unsigned {
    kShort = 1,   // connections that close at once, from 127.0.0.5
    kHello = 2,   // connections that say HELLO and close, from 127.0.0.6
    kSerial = 4,  // a device on a named port that says HELLO again and again
    kMany = 8,    // connections that close at once, from two hundred addresses
};

using OrbtrayFlood = OrbtrayTest;

TEST_F(OrbtrayFlood, EachSourceAndAllTogetherWriteAFewLinesASecondAndCountTheRest) {
    const struct {
        const char* what;
        unsigned sources;
        double perSecond;  // lines a second that the whole log must stay under
    } cases[] = {
        {"short connections from one address", kShort, 25},
        {"connections that only say HELLO", kHello, 25},
        {"a serial device repeating HELLO", kSerial, 25},
        {"all of them, and two hundred addresses more", kShort | kHello | kSerial | kMany, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchFolder scratch;
        const std::string portPath = scratch.Path() + "ttyA";
        Pty pty;
        ASSERT_FALSE(pty.slavePath.empty());
        ASSERT_EQ(::symlink(pty.slavePath.c_str(), portPath.c_str()), 0);
        const std::string real = "REAL" + std::to_string(&c - cases);
        port = FreePort();
        ASSERT_NO_FATAL_FAILURE(Start({}, c.sources & kSerial
                                              ? Lines{"--no-usb-scan", "--serial-port", portPath}
                                              : Lines{"--no-usb-scan"}));
        if (c.sources & kSerial) {
            ASSERT_TRUE(Said("Device Connected\tttyA"));
        }

        std::atomic<bool> flooding{true};
        std::atomic<std::size_t> shortOnes{0}, hellos{0}, serialHellos{0};
        std::vector<std::jthread> flooders;
        const auto repeat = [&](std::atomic<std::size_t>& made, auto host, std::string bytes) {
            return [&, host, bytes] {
                for (std::size_t n = 0; flooding; ++n) {
                    made += ShortConnection(port, host(n), bytes) ? 1 : 0;
                }
            };
        };
        for (int i = 0; i < 4; ++i) {
            if (c.sources & kShort) {
                flooders.emplace_back(repeat(
                    shortOnes, [](std::size_t) { return std::uint8_t{5}; }, ""));
            }
            if (c.sources & kHello) {
                flooders.emplace_back(repeat(
                    hellos, [](std::size_t) { return std::uint8_t{6}; }, "HELLO H\n"));
            }
        }
        if (c.sources & kMany) {
            for (std::size_t i = 0; i < 8; ++i) {
                flooders.emplace_back(repeat(
                    shortOnes,
                    [i](std::size_t n) {
                        return static_cast<std::uint8_t>(10 + (i + 8 * n) % 200);
                    },
                    ""));
            }
        }
        if (c.sources & kSerial) {
            // Twenty HELLOs at a time, each answered before the next twenty, so that every one
            // sent has been handled when the flood ends.
            flooders.emplace_back([&] {
                std::string burst;
                for (int i = 0; i < 20; ++i) burst += "HELLO X\r\n";
                while (flooding) {
                    ASSERT_NO_FATAL_FAILURE(Put(pty.master, burst));
                    ASSERT_EQ(Take(pty.master, 20, 10s).size(), 20u);
                    serialHellos += 20;
                }
            });
        }
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(1s);
        // A real instrument, from an address of its own, in the middle of the flood.
        platform::Socket instrument =
            ConnectWithRetry(port, platform::Ipv4Endpoint{{127, 0, 0, 250}, 0});
        SendAndFinish(instrument, Conversation(real, {"a,1", "b,2"}));
        ASSERT_TRUE(Said("Device " + real + " sent 2 readings."));
        std::this_thread::sleep_for(2s);
        flooding = false;
        flooders.clear();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // Whatever is still held back is summed up when orbtray stops.
        ASSERT_EQ(orbtray->Stop(), 0);

        Lines log = orbtray->Err();
        std::erase_if(log,
                      [](const std::string& line) { return !line.starts_with("Connection "); });
        std::size_t written = 0, suppressed = 0, summaries = 0;
        for (const std::string& line : log) {
            if (line.ends_with(" more messages suppressed")) {
                ++summaries;
                suppressed += std::stoul(line.substr(line.find(' ', 11) + 1));
            } else if (line.find(" transfer") == std::string::npos ||
                       line.ends_with(" transfer aborted")) {
                ++written;  // every line but the transfer's own is limited
            }
        }
        // Each short connection is opened, closed by the peer and terminated; a HELLO adds its
        // serial and the transfer aborted; the serial port is opened, says each serial, aborts
        // each transfer but the last on the next HELLO and that one at the stop, after closing
        // on shutdown and terminating; the real transfer is opened, says its serial, closes.
        const std::size_t serial = serialHellos.load();
        const std::size_t expected =
            3 * shortOnes + 5 * hellos + (c.sources & kSerial ? 2 * serial + 3 : 0) + 4;
        EXPECT_EQ(written + suppressed, expected)
            << shortOnes << " short, " << hellos << " HELLO, " << serial << " serial HELLO";
        EXPECT_GT(summaries, 0u);
        EXPECT_GT(suppressed, expected / 2);
        // Windows of a second that overlap the flood: one more than it lasted, and the stop.
        EXPECT_LT(double(log.size()), c.perSecond * (seconds + 2))
            << log.size() << " lines in " << seconds << " s";
        EXPECT_EQ(CountContaining(log, " transfer complete"), 1u);
        // The flood's HELLOs leave nothing behind: one file for each case so far.
        const Lines files = data.Files();
        EXPECT_EQ(files.size(), std::size_t(&c - cases) + 1) << ::testing::PrintToString(files);
        const auto stored = std::ranges::find_if(
            files, [&](const std::string& file) { return file.starts_with(real + "/"); });
        ASSERT_NE(stored, files.end()) << ::testing::PrintToString(files);
        EXPECT_EQ(data.Read(*stored), StoredFile({"a,1", "b,2"}));
    }
}

}  // namespace
