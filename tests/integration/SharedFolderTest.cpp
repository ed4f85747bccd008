// Receivers that share one Data folder, as two OrbTrays on one PC or on several PCs writing into
// one network folder do. What counts is what the user finds: every transfer under a name of its
// own, byte for byte, and never a reading lost. (A file that cannot be renamed: StoreTest.)

#include <algorithm>
#include <latch>
#include <map>
#include <set>
#include <thread>

#include "integration/OrbtrayProcess.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// The "File Received" notices in what a receiver printed, by the path they name.
std::map<std::string, std::string> Received(const Lines& out) {
    std::map<std::string, std::string> byPath;
    for (const std::string& line : out) {
        if (line.starts_with("File Received\t")) {
            byPath[line.substr(line.rfind('\t') + 1)] = line;
        }
    }
    return byPath;
}

// Two receivers on one Data folder take transfers of the same serials at the same moments, while
// a third one starts and stops on that folder in the middle of each round: its start-up
// clean-up must leave the files the other two are writing alone, and no two transfers may ever
// share a name, however their seconds collide.
TEST(SharedDataFolder, TwoReceiversAndAThirdStartingNeverLoseOrShareAFile) {
    constexpr int kInstruments = 20;
    constexpr int kRounds = 20;
    ScratchFolder data;
    const std::uint16_t ports[2] = {FreePort(), FreePort()};
    OrbtrayProcess first(data.Path(), ports[0], {}, {"--no-usb-scan"});
    OrbtrayProcess second(data.Path(), ports[1], {}, {"--no-usb-scan"});
    ASSERT_TRUE(first.Ready() && second.Ready()) << ::testing::PrintToString(first.Err());
    OrbtrayProcess* receivers[2] = {&first, &second};
    const int idle[2] = {first.Threads(), second.Threads()};

    std::map<std::string, std::string> expected;  // every file's bytes, by content
    for (int round = 0; round < kRounds; ++round) {
        struct Link {
            platform::Socket socket;
            std::string head, tail;  // sent before and after the third receiver's start
        };
        std::vector<Link> links(2 * kInstruments);
        for (std::size_t i = 0; i < links.size(); ++i) {
            const std::string serial = "OX" + std::to_string(50000 + i / 2);
            Lines lines;
            for (int n = 0; n < 40; ++n) {
                lines.push_back(serial + ",round " + std::to_string(round) + ",via " +
                                std::to_string(i % 2) + "," + std::to_string(n));
            }
            const std::string all = Conversation(serial, lines);
            // Cut inside the data, so that each file is open while the third one starts.
            const std::size_t cut = all.find("LINE ") + all.size() / 2;
            links[i].head = all.substr(0, cut);
            links[i].tail = all.substr(cut);
            expected[StoredFile(lines)] = serial;
        }
        // Both instruments of a serial begin at the same moment, one at each receiver, from
        // addresses spread so that no receiver's cap per address turns one away.
        std::latch together(static_cast<std::ptrdiff_t>(links.size()));
        std::vector<std::thread> senders;
        for (std::size_t i = 0; i < links.size(); ++i) {
            senders.emplace_back([&, i] {
                links[i].socket = ConnectWithRetry(ports[i % 2], SpreadSource(i / 2));
                together.arrive_and_wait();
                Send(links[i].socket, links[i].head);
            });
        }
        for (auto& sender : senders) {
            sender.join();
        }
        const auto tempFiles = [&] {
            return std::ranges::count_if(
                data.Files(), [](const std::string& file) { return file.ends_with(".tmp"); });
        };
        ASSERT_TRUE(WaitUntil([&] { return tempFiles() == long(links.size()); }))
            << "round " << round << ": " << tempFiles() << " files open";
        {
            OrbtrayProcess third(data.Path(), FreePort(), {}, {"--no-usb-scan"});
            ASSERT_TRUE(third.Ready()) << ::testing::PrintToString(third.Err());
            EXPECT_EQ(third.Stop(), 0);
            ASSERT_EQ(CountContaining(third.Out(), "deleted"), 0u)
                << ::testing::PrintToString(third.Out());
        }
        for (Link& link : links) {
            SendAndFinish(link.socket, link.tail);
        }
        // Each link's thread ends once its link is closed; the log may hold back the lines
        // of so many connections from one address.
        for (int r = 0; r < 2; ++r) {
            ASSERT_TRUE(WaitUntil([&] { return receivers[r]->Threads() == idle[r]; }, 30s))
                << "round " << round;
        }
    }
    for (OrbtrayProcess* receiver : receivers) {
        EXPECT_EQ(receiver->Stop(), 0);
        EXPECT_EQ(CountContaining(receiver->Err(), "cannot"), 0u)
            << ::testing::PrintToString(receiver->Err());
    }
    // Every transfer is a .csv of its own, announced once under the name it has.
    std::map<std::string, std::string> announced = Received(first.Out());
    const std::map<std::string, std::string> more = Received(second.Out());
    announced.insert(more.begin(), more.end());
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), expected.size());
    EXPECT_EQ(announced.size(), files.size());
    std::set<std::string> contents;
    for (const std::string& file : files) {
        const std::string bytes = data.Read(file);
        ASSERT_TRUE(expected.contains(bytes)) << file;
        EXPECT_TRUE(file.starts_with(expected[bytes] + "/") && file.ends_with(".csv")) << file;
        EXPECT_TRUE(announced.contains(data.Path() + file)) << file;
        contents.insert(bytes);
    }
    EXPECT_EQ(contents.size(), expected.size());
}

}  // namespace
