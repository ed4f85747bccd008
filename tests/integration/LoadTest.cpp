// Many instruments at once against the real orbtray: a crowd that connects in one burst up to the
// connection cap is served whole, the surplus is turned away without harming the rest, each link's
// thread is given back, and one serial sending over many links at once gets a file per transfer.

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
            instruments[i].lines.push_back("2025-12-14 02:54:17," + instruments[i].serial + "," +
                                           std::to_string(n) + ",mm");
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
    void Start() {
        orbtray = std::make_unique<OrbtrayProcess>(data.Path(), port);
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

    ScratchFolder data;
    std::uint16_t port = FreePort();
    std::unique_ptr<OrbtrayProcess> orbtray;
};

// The cap per address, with its own log line, is covered where it also runs under Wine.
TEST_F(OrbtrayLoad, ABurstUpToTheCapIsServedWholeTheSurplusTurnedAwayAndEveryThreadGivenBack) {
    ASSERT_NO_FATAL_FAILURE(Start());
    const int baseline = orbtray->Threads();
    // 256 connect in one burst, sixteen from each address, and stay open; then one from a fresh
    // address, once there is room.
    std::vector<Instrument> instruments = MakeInstruments(257, 200);
    AtOnce(256, [&](std::size_t i) {
        instruments[i].socket = ConnectWithRetry(port, &instruments[i].from);
    });
    ASSERT_TRUE(WaitUntil([&] { return ConnectionNames(orbtray->Err()).size() == 256; },
                          std::chrono::seconds(30)));
    Instrument& again = instruments.back();

    platform::Socket surplus = ConnectWithRetry(port, &again.from);
    surplus.SetReceiveTimeout(5000);
    char byte;
    EXPECT_EQ(surplus.Receive(&byte, 1).status, platform::IoStatus::Closed);
    const auto refusals = [&] {
        const Lines log = orbtray->Err();
        return std::count_if(log.begin(), log.end(), [](const std::string& line) {
            return line.ends_with(" refused, too many connections");
        });
    };
    ASSERT_TRUE(WaitUntil([&] { return refusals() == 1; }));

    // Once one held connection has ended (and so can be reaped), its place is free again.
    const auto transfer = [&](std::size_t i) {
        SendAndFinish(instruments[i].socket,
                      Conversation(instruments[i].serial, instruments[i].lines));
    };
    transfer(0);
    ASSERT_TRUE(Logged(" terminated", 1));
    again.socket = ConnectWithRetry(port, &again.from);
    // The rest all at once, so that the transfers interleave.
    AtOnce(256, [&](std::size_t i) { transfer(i + 1); });
    ASSERT_TRUE(WaitUntil(
        [&] { return CountContaining(orbtray->Out(), "File Received") == instruments.size(); },
        std::chrono::seconds(30)));
    std::map<std::string, std::string> bySerial;
    for (const auto& file : data.Files()) {
        bySerial[file.substr(0, file.find('/'))] += data.Read(file);
    }
    EXPECT_EQ(bySerial.size(), instruments.size());
    for (const auto& instrument : instruments) {
        EXPECT_EQ(bySerial[instrument.serial], StoredFile(instrument.lines)) << instrument.serial;
    }
    EXPECT_EQ(ConnectionNames(orbtray->Err()).size(), instruments.size());
    EXPECT_EQ(refusals(), 1);
    // Finished workers are reaped when the listener has a quiet second.
    EXPECT_TRUE(WaitUntil([&] { return orbtray->Threads() == baseline; }))
        << orbtray->Threads() << " threads, " << baseline << " before";
    EXPECT_EQ(orbtray->Stop(), 0);
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
    for (const auto& file : data.Files()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(file, match, name)) << file;
        stored.insert(data.Read(file));
        numbersOfSecond[match[1]].insert(match[3].matched ? std::stoi(match[3]) : 1);
    }
    EXPECT_EQ(stored, sent);
    for (const auto& [second, numbers] : numbersOfSecond) {
        EXPECT_EQ(std::size_t(*numbers.rbegin()), numbers.size()) << second;
    }
    EXPECT_EQ(orbtray->Stop(), 0);
}

}  // namespace
