// Many instruments at once against the real orbtray: a crowd that connects in one burst is served
// whole and each link's thread is given back, one serial sending over many links at once gets a
// file per transfer, and both connection limits (in all, per address) turn the surplus away
// without harming the rest.

#include <gtest/gtest.h>

#include <ctime>
#include <iostream>
#include <latch>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <thread>

#include "fakes/Loopback.h"
#include "fakes/ScratchFolder.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Lines = std::vector<std::string>;

// Socket::Send carries on until every byte is sent or the link fails.
bool Sent(platform::Socket& socket, const std::string& bytes) {
    return socket.Send(bytes.data(), bytes.size()).status == platform::IoStatus::Ok;
}

// One instrument: its serial, the readings it holds and where it connects from.
struct Instrument {
    std::string serial;
    Lines lines;
    platform::Ipv4Endpoint from;
    platform::Socket socket;
};

std::vector<Instrument> MakeInstruments(std::size_t count, std::size_t linesEach) {
    std::vector<Instrument> instruments(count);
    for (std::size_t i = 0; i < count; ++i) {
        instruments[i].serial = "OX" + std::to_string(40000 + i);
        for (std::size_t n = 0; n < linesEach; ++n) {
            instruments[i].lines.push_back("2025-12-14 02:54:" + std::to_string(n % 60) + "," +
                                           instruments[i].serial + "," + std::to_string(n) +
                                           ",23." + std::to_string(i * 7 + n) + ",mm");
        }
        instruments[i].from = SpreadSource(i);
    }
    return instruments;
}

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

class OrbtrayLoad : public ::testing::Test {
protected:
    OrbtrayLoad() { platform::StartNetworking(); }

    // A fresh orbtray over an empty Data folder.
    void Start() {
        orbtray.reset();
        data = std::make_unique<ScratchFolder>();
        port = FreePort();
        orbtray = std::make_unique<OrbtrayProcess>(data->Path(), port);
        ASSERT_TRUE(orbtray->Ready());
    }

    // How orbtray ended and what it said last, to explain a failure.
    void TearDown() override {
        if (HasFailure() && orbtray) {
            const int status = orbtray->Stop();
            const Lines log = orbtray->Err();
            std::cerr << "orbtray exit status " << status << ", last lines: "
                      << ::testing::PrintToString(
                             Lines(log.end() - std::min<std::ptrdiff_t>(log.size(), 20), log.end()))
                      << "\n";
        }
    }

    bool Logged(const std::string& text, std::size_t times) {
        return WaitUntil([&] { return CountContaining(orbtray->Err(), text) >= times; },
                         std::chrono::seconds(30));
    }

    // Every instrument connects and says HELLO in one burst; returns once orbtray has heard
    // them all, so that all are open together.
    void Connect(std::span<Instrument> instruments) {
        AtOnce(instruments.size(), [&](std::size_t i) {
            Instrument& instrument = instruments[i];
            instrument.socket = ConnectWithRetry(port, &instrument.from);
            EXPECT_TRUE(Sent(instrument.socket, "HELLO " + instrument.serial + "\r\n"))
                << instrument.serial;
        });
        ASSERT_TRUE(Logged("serial number is", instruments.size()));
    }

    // Sends the readings in rounds across all instruments, so the transfers interleave, then
    // ends each transfer.
    static void Finish(std::span<Instrument> instruments) {
        constexpr std::size_t kRounds = 4;
        for (std::size_t round = 0; round < kRounds; ++round) {
            for (auto& instrument : instruments) {
                const std::size_t size = instrument.lines.size();
                std::string bytes;
                for (std::size_t n = size * round / kRounds; n < size * (round + 1) / kRounds;
                     ++n) {
                    bytes += "LINE " + instrument.lines[n] + "\r\n";
                }
                ASSERT_TRUE(Sent(instrument.socket, bytes));
            }
        }
        for (auto& instrument : instruments) {
            ASSERT_TRUE(Sent(instrument.socket, "BYE\r\n"));
            instrument.socket.ShutdownBoth();
        }
    }

    // Waits for a file from each instrument, then compares every file with what it sent.
    void ExpectEveryFileWhole(std::span<const Instrument> instruments) {
        ASSERT_TRUE(WaitUntil(
            [&] { return CountContaining(orbtray->Out(), "File Received") >= instruments.size(); },
            std::chrono::seconds(30)));
        std::map<std::string, std::string> bySerial;
        for (const auto& file : data->Files()) {
            bySerial[file.substr(0, file.find('/'))] += data->Read(file);
        }
        EXPECT_EQ(bySerial.size(), instruments.size());
        for (const auto& instrument : instruments) {
            EXPECT_EQ(bySerial[instrument.serial], StoredFile(instrument.lines))
                << instrument.serial;
        }
        EXPECT_EQ(CountContaining(orbtray->Out(), "File Received"), instruments.size());
    }

    std::unique_ptr<ScratchFolder> data;
    std::uint16_t port = 0;
    std::unique_ptr<OrbtrayProcess> orbtray;
};

TEST_F(OrbtrayLoad, TwoHundredInstrumentsInOneBurst) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const int baseline = orbtray->Threads();
    std::vector<Instrument> instruments = MakeInstruments(200, 200);
    ASSERT_NO_FATAL_FAILURE(Connect(instruments));
    ASSERT_NO_FATAL_FAILURE(Finish(instruments));
    ExpectEveryFileWhole(instruments);
    // Finished workers are reaped when the listener has a quiet second.
    EXPECT_TRUE(WaitUntil([&] { return orbtray->Threads() == baseline; }, std::chrono::seconds(10)))
        << orbtray->Threads() << " threads, " << baseline << " before";
    EXPECT_EQ(orbtray->Stop(), 0);
}

TEST_F(OrbtrayLoad, ConnectionsBeyondALimitAreClosedAtOnceAndTheRestServed) {
    const platform::Ipv4Endpoint oneHost = {{127, 0, 0, 1}, 0};
    const struct {
        std::size_t held;  // connections kept open
        bool fromOneHost;  // all of them from 127.0.0.1, or spread
        platform::Ipv4Endpoint surplus;
        const char* refusal;   // the whole log line for the surplus connection
        bool otherHostServed;  // a connection from 127.0.0.2 is served meanwhile
    } limits[] = {
        {16, true, oneHost, "Connection S[0-9]+ refused, too many connections from 127\\.0\\.0\\.1",
         true},
        {256, false, SpreadSource(256), "Connection S[0-9]+ refused, too many connections", false},
    };
    for (const auto& limit : limits) {
        SCOPED_TRACE(limit.refusal);
        ASSERT_NO_FATAL_FAILURE(Start());
        // The held ones, then one from the surplus's address once there is room again, then
        // one from another host.
        std::vector<Instrument> instruments = MakeInstruments(limit.held + 2, 20);
        const std::span<Instrument> held = std::span(instruments).first(limit.held);
        Instrument& again = instruments[limit.held];
        Instrument& other = instruments[limit.held + 1];
        for (Instrument& instrument : held) {
            instrument.from = limit.fromOneHost ? oneHost : instrument.from;
        }
        again.from = limit.surplus;
        other.from = SpreadSource(0);
        ASSERT_NO_FATAL_FAILURE(Connect(held));

        platform::Socket surplus = ConnectWithRetry(port, &limit.surplus);
        ASSERT_TRUE(surplus.IsValid());
        surplus.SetReceiveTimeout(5000);
        char byte;
        EXPECT_EQ(surplus.Receive(&byte, 1).status, platform::IoStatus::Closed);
        const std::regex refusal(limit.refusal);
        const auto refusals = [&] {
            const Lines log = orbtray->Err();
            return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
                return std::regex_match(line, refusal);
            });
        };
        ASSERT_TRUE(WaitUntil([&] { return refusals() == 1; }));

        std::size_t ended = 1;
        if (limit.otherHostServed) {
            other.socket = ConnectWithRetry(port, &other.from);
            SendAndFinish(other.socket, Conversation(other.serial, other.lines));
            ++ended;
        }
        // Once one held connection has ended (and so can be reaped), its place is free again.
        ASSERT_NO_FATAL_FAILURE(Finish(held.first(1)));
        ASSERT_TRUE(Logged(" terminated", ended));
        again.socket = ConnectWithRetry(port, &again.from);
        SendAndFinish(again.socket, Conversation(again.serial, again.lines));

        ASSERT_NO_FATAL_FAILURE(Finish(held.subspan(1)));
        const std::size_t served = limit.held + ended;
        ExpectEveryFileWhole(std::span(instruments).first(served));
        EXPECT_EQ(ConnectionNames(orbtray->Err()).size(), served);
        EXPECT_EQ(refusals(), 1);
        EXPECT_EQ(orbtray->Stop(), 0);
    }
}

TEST_F(OrbtrayLoad, OneSerialOverManyLinksAtOnceGetsAFilePerTransfer) {
    ASSERT_NO_FATAL_FAILURE(Start());
    constexpr std::size_t kLinks = 20;
    constexpr std::size_t kRounds = 10;
    std::multiset<std::string> sent;
    std::time_t lastStart = 0;
    for (std::size_t round = 0; round < kRounds; ++round) {
        // A second has names for 99 transfers of one serial: each round starts in a second of
        // its own, so that none runs out.
        WaitUntil([&] { return std::time(nullptr) != lastStart; });
        lastStart = std::time(nullptr);
        std::vector<Lines> transfers(kLinks);
        for (std::size_t i = 0; i < kLinks; ++i) {
            const std::string id = std::to_string(round) + "," + std::to_string(i);
            transfers[i] = {id + ",1", id + ",2"};
            sent.insert(StoredFile(transfers[i]));
        }
        AtOnce(kLinks, [&](std::size_t i) {
            const platform::Ipv4Endpoint from = SpreadSource(i);
            platform::Socket socket = ConnectWithRetry(port, &from);
            SendAndFinish(socket, Conversation("dup", transfers[i]));
        });
        ASSERT_TRUE(Logged(" terminated", (round + 1) * kLinks)) << "round " << round;
    }
    EXPECT_EQ(CountContaining(orbtray->Err(), "cannot open file"), 0u);
    ASSERT_TRUE(WaitUntil(
        [&] { return CountContaining(orbtray->Out(), "File Received") == kRounds * kLinks; }));

    // Transfers that began in the same second are told apart by -2, -3, ... without a gap.
    const std::regex name("dup/([0-9]{6}-[0-9]{6})(-([0-9]+))?\\.csv");
    std::multiset<std::string> stored;
    std::map<std::string, std::set<int>> numbersOfSecond;
    for (const auto& file : data->Files()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(file, match, name)) << file;
        stored.insert(data->Read(file));
        numbersOfSecond[match[1]].insert(match[3].matched ? std::stoi(match[3]) : 1);
    }
    EXPECT_EQ(stored, sent);
    for (const auto& [second, numbers] : numbersOfSecond) {
        EXPECT_EQ(std::size_t(*numbers.rbegin()), numbers.size()) << second;
    }
    EXPECT_EQ(orbtray->Stop(), 0);
}

}  // namespace
