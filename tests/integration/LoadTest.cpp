// Many instruments at once against the real orbtray: every file arrives whole, each link's thread
// is given back, and the connection cap turns the surplus away without harming the rest.

#include <gtest/gtest.h>

#include <map>

#include "fakes/Loopback.h"
#include "fakes/ScratchFolder.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Lines = std::vector<std::string>;

bool SendAll(platform::Socket& socket, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const platform::IoResult sent = socket.Send(bytes.data() + done, bytes.size() - done);
        if (sent.status != platform::IoStatus::Ok) {
            return false;
        }
        done += sent.count;
    }
    return true;
}

// One instrument: its serial and the readings it holds.
struct Instrument {
    std::string serial;
    Lines lines;
    platform::Socket socket;
};

std::vector<Instrument> MakeInstruments(int count, int linesEach) {
    std::vector<Instrument> instruments(count);
    for (int i = 0; i < count; ++i) {
        instruments[i].serial = "OX" + std::to_string(40000 + i);
        for (int n = 0; n < linesEach; ++n) {
            instruments[i].lines.push_back("2025-12-14 02:54:" + std::to_string(n % 60) + "," +
                                           instruments[i].serial + "," + std::to_string(n) +
                                           ",23." + std::to_string(i * 7 + n) + ",mm");
        }
    }
    return instruments;
}

class OrbtrayLoad : public ::testing::Test {
protected:
    OrbtrayLoad() : orbtray(data.Path(), port) { platform::StartNetworking(); }

    bool Logged(const std::string& text, std::size_t times) {
        return WaitUntil([&] { return CountContaining(orbtray.Err(), text) >= times; },
                         std::chrono::seconds(30));
    }

    // Connects each instrument and says HELLO, so that all of them are open together. The
    // listener's backlog holds only about ten connections, and a connection that finds it full
    // waits a second for the SYN to be sent again; small batches keep every connect immediate.
    void Connect(std::vector<Instrument>& instruments) {
        constexpr std::size_t kBatch = 8;
        for (std::size_t i = 0; i < instruments.size(); ++i) {
            instruments[i].socket = ConnectWithRetry(port);
            ASSERT_TRUE(instruments[i].socket.IsValid());
            ASSERT_TRUE(SendAll(instruments[i].socket, "HELLO " + instruments[i].serial + "\r\n"));
            if ((i + 1) % kBatch == 0) {
                ASSERT_TRUE(Logged(" from 127.0.0.1", i + 1));
            }
        }
        ASSERT_TRUE(Logged("serial number is", instruments.size()));
    }

    // Sends the readings in rounds across all instruments, so the transfers interleave, then
    // ends each transfer and waits for every file.
    void Finish(std::vector<Instrument>& instruments) {
        constexpr std::size_t kRounds = 4;
        for (std::size_t round = 0; round < kRounds; ++round) {
            for (auto& instrument : instruments) {
                const std::size_t size = instrument.lines.size();
                std::string bytes;
                for (std::size_t n = size * round / kRounds; n < size * (round + 1) / kRounds;
                     ++n) {
                    bytes += "LINE " + instrument.lines[n] + "\r\n";
                }
                ASSERT_TRUE(SendAll(instrument.socket, bytes));
            }
        }
        for (auto& instrument : instruments) {
            ASSERT_TRUE(SendAll(instrument.socket, "BYE\r\n"));
            instrument.socket.ShutdownBoth();
        }
        ASSERT_TRUE(WaitUntil(
            [&] { return CountContaining(orbtray.Out(), "File Received") >= instruments.size(); },
            std::chrono::seconds(30)));
    }

    void ExpectEveryFileWhole(const std::vector<Instrument>& instruments) {
        std::map<std::string, std::string> bySerial;
        for (const auto& file : data.Files()) {
            bySerial[file.substr(0, file.find('/'))] += data.Read(file);
        }
        EXPECT_EQ(bySerial.size(), instruments.size());
        for (const auto& instrument : instruments) {
            EXPECT_EQ(bySerial[instrument.serial], StoredFile(instrument.lines))
                << instrument.serial;
        }
        EXPECT_EQ(CountContaining(orbtray.Out(), "File Received"), instruments.size());
    }

    ScratchFolder data;
    std::uint16_t port = FreePort();
    OrbtrayProcess orbtray;
};

TEST_F(OrbtrayLoad, TwoHundredInstrumentsAtOnce) {
    ASSERT_TRUE(orbtray.Ready());
    const int baseline = orbtray.Threads();
    std::vector<Instrument> instruments = MakeInstruments(200, 200);
    ASSERT_NO_FATAL_FAILURE(Connect(instruments));
    ASSERT_NO_FATAL_FAILURE(Finish(instruments));
    ExpectEveryFileWhole(instruments);
    // Finished workers are reaped when the listener has a quiet second.
    EXPECT_TRUE(WaitUntil([&] { return orbtray.Threads() == baseline; }, std::chrono::seconds(10)))
        << orbtray.Threads() << " threads, " << baseline << " before";
    EXPECT_EQ(orbtray.Stop(), 0);
}

TEST_F(OrbtrayLoad, ConnectionsBeyondTheCapAreClosedAtOnce) {
    ASSERT_TRUE(orbtray.Ready());
    std::vector<Instrument> instruments = MakeInstruments(256, 20);
    ASSERT_NO_FATAL_FAILURE(Connect(instruments));

    platform::Socket surplus = ConnectWithRetry(port);
    ASSERT_TRUE(surplus.IsValid());
    surplus.SetReceiveTimeout(5000);
    char byte;
    EXPECT_EQ(surplus.Receive(&byte, 1).status, platform::IoStatus::Closed);
    ASSERT_TRUE(Logged(" refused, too many connections", 1));
    EXPECT_EQ(CountContaining(orbtray.Err(), " refused, too many connections"), 1u);

    ASSERT_NO_FATAL_FAILURE(Finish(instruments));
    ExpectEveryFileWhole(instruments);
    EXPECT_EQ(ConnectionNames(orbtray.Err()).size(), instruments.size());
    EXPECT_EQ(orbtray.Stop(), 0);
}

}  // namespace
