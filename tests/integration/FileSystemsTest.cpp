// The real orbtray on the file systems labs keep their data on: the local disk, a FAT USB stick
// through FUSE (no no-replace rename, no hard links, no read-only mark), and two mounts of one
// shared folder whose locks do not reach each other, as two PCs on one share have. What counts
// is what the user finds: every transfer under a name of its own, byte for byte, announced
// once, and never a reading lost, even when another receiver starts in the middle. The FUSE
// cases need root and /dev/fuse (CI has both); elsewhere they are skipped and say why.

#include <sys/mount.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <map>
#include <set>
#include <thread>

#include "integration/OrbtrayProcess.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

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

int Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

enum class Kind { LocalDisk, FuseFat, TwoMounts };

// The Data folder as each of two receivers sees it, on a file system of the given kind, mounted
// for the test and unmounted when it ends.
class DataMount {
public:
    explicit DataMount(Kind kind) {
        const std::string root = scratch_.Path();
        switch (kind) {
            case Kind::LocalDisk:
                fs::create_directories(root + "data");
                folders_[0] = folders_[1] = root + "data/";
                return;
            case Kind::FuseFat:
                fs::create_directories(root + "fat");
                if (Run("truncate -s 64M " + root + "fat.img && mkfs.vfat " + root + "fat.img") !=
                        0 ||
                    Run("fusefat -o rw+ " + root + "fat.img " + root + "fat") != 0) {
                    why_ = "cannot make and mount a FAT image with fusefat";
                    return;
                }
                mounted_ = {root + "fat"};
                folders_[0] = folders_[1] = root + "fat/";
                return;
            case Kind::TwoMounts:
                for (const char* name : {"share", "pc1", "pc2"}) {
                    fs::create_directories(root + name);
                }
                for (const char* pc : {"pc1", "pc2"}) {
                    if (Run("bindfs " + root + "share " + root + pc) != 0) {
                        why_ = "cannot mount a folder twice with bindfs";
                        return;
                    }
                    mounted_.push_back(root + pc);
                }
                folders_[0] = root + "pc1/";
                folders_[1] = root + "pc2/";
                return;
        }
    }
    ~DataMount() {
        for (const std::string& mount : mounted_) {
            if (Run("fusermount -u " + mount) != 0) {
                ::umount2(mount.c_str(), MNT_DETACH);
            }
        }
    }
    DataMount(const DataMount&) = delete;
    DataMount& operator=(const DataMount&) = delete;

    // Empty when the file system is there; otherwise why it is not.
    const std::string& Why() const { return why_; }
    const std::string& Folder(int receiver) const { return folders_[receiver]; }

private:
    ScratchFolder scratch_;
    std::vector<std::string> mounted_;
    std::string folders_[2];
    std::string why_;
};

// Two receivers take transfers of the same serials at the same moments, while a third one starts
// and stops in the middle of each round: its clean-up must leave the files the other two are
// writing alone, even where it cannot see their locks, and no two transfers may ever share a
// name, however their seconds collide.
TEST(FileSystems, TwoReceiversAndAThirdStartingNeverLoseOrShareAFile) {
    const struct {
        Kind kind;
        std::string what;
        int rounds;
        int instruments;
        const char* startNote;  // what orbtray says at start about this file system
    } cases[] = {
        {Kind::LocalDisk, "local disk", 12, 20, nullptr},
        {Kind::FuseFat, "FUSE FAT", 3, 8, "cannot rename without replacing"},
        {Kind::TwoMounts, "two mounts of one folder", 5, 12, nullptr},
    };
    for (const auto& c : cases) {
        const DataMount mount(c.kind);
        const std::string& what = c.what;
        if (!mount.Why().empty()) {
            std::cerr << "skipped " << what << ": " << mount.Why() << "\n";
            continue;
        }
        const std::uint16_t ports[2] = {FreePort(), FreePort()};
        OrbtrayProcess first(mount.Folder(0), ports[0], {}, {"--no-usb-scan", "--web", "off"});
        OrbtrayProcess second(mount.Folder(1), ports[1], {}, {"--no-usb-scan", "--web", "off"});
        ASSERT_TRUE(first.Ready() && second.Ready())
            << what << ::testing::PrintToString(first.Err());
        if (c.startNote != nullptr) {
            EXPECT_EQ(CountContaining(first.Err(), c.startNote), 1u)
                << what << ::testing::PrintToString(first.Err());
        }
        OrbtrayProcess* receivers[2] = {&first, &second};
        const int idle[2] = {first.Threads(), second.Threads()};

        std::map<std::string, std::string> expected;  // every file's serial, by its bytes
        for (int round = 0; round < c.rounds; ++round) {
            struct Link {
                platform::Socket socket;
                std::string head, tail;  // sent before and after the third receiver's start
            };
            std::vector<Link> links(2 * std::size_t(c.instruments));
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
                return std::ranges::count_if(FilesBelow(mount.Folder(0)), [](const auto& file) {
                    return file.ends_with(".tmp");
                });
            };
            ASSERT_TRUE(WaitUntil([&] { return tempFiles() == long(links.size()); }))
                << what << " round " << round << ": " << tempFiles() << " files open";
            {
                // On the second receiver's mount: where locks do not cross mounts, only the age
                // of the files tells it they are alive.
                OrbtrayProcess third(mount.Folder(1), FreePort(), {},
                                     {"--no-usb-scan", "--web", "off"});
                ASSERT_TRUE(third.Ready()) << what << ::testing::PrintToString(third.Err());
                EXPECT_EQ(third.Stop(), 0);
                ASSERT_EQ(CountContaining(third.Out(), "deleted"), 0u)
                    << what << ::testing::PrintToString(third.Out());
            }
            for (Link& link : links) {
                SendAndFinish(link.socket, link.tail);
            }
            // Each link's thread ends once its link is closed; the log may hold back the lines
            // of so many connections from one address.
            for (int r = 0; r < 2; ++r) {
                ASSERT_TRUE(WaitUntil([&] { return receivers[r]->Threads() == idle[r]; }, 60s))
                    << what << " round " << round;
            }
        }
        std::map<std::string, std::string> announced;
        for (OrbtrayProcess* receiver : receivers) {
            EXPECT_EQ(receiver->Stop(), 0) << what;
            EXPECT_EQ(std::ranges::count_if(receiver->Err(),
                                            [](const std::string& line) {
                                                return line.starts_with("Connection ") &&
                                                       line.find(" cannot ") != line.npos;
                                            }),
                      0)
                << what << ::testing::PrintToString(receiver->Err());
            EXPECT_EQ(CountContaining(receiver->Err(), "taken away"), 0u) << what;
            const auto more = Received(receiver->Out());
            announced.insert(more.begin(), more.end());
        }
        // Every transfer is a .csv of its own, announced once under the name it has.
        const Lines files = FilesBelow(mount.Folder(0));
        ASSERT_EQ(files.size(), expected.size()) << what << ::testing::PrintToString(files);
        EXPECT_EQ(announced.size(), files.size()) << what;
        std::set<std::string> contents;
        for (const std::string& file : files) {
            const std::string bytes = FileContents(mount.Folder(0) + file);
            ASSERT_TRUE(expected.contains(bytes)) << what << " " << file;
            EXPECT_TRUE(file.starts_with(expected[bytes] + "/") && file.ends_with(".csv"))
                << what << " " << file;
            const std::string announcedAs =
                (announced.contains(mount.Folder(0) + file) ? mount.Folder(0) : mount.Folder(1)) +
                file;
            EXPECT_TRUE(announced.contains(announcedAs)) << what << " " << file;
            contents.insert(bytes);
        }
        EXPECT_EQ(contents.size(), expected.size()) << what;
    }
}

// A file taken away while it arrives, by a user, a sync tool or a receiver whose clean-up
// cannot see our lock, costs no reading: at BYE the data is written out again from the open file,
// under the next free name, in folders made again if they went too, and the notice names where.
TEST(FileSystems, AFileTakenAwayWhileItArrivesIsWrittenAgainAtBye) {
    const struct {
        const char* what;
        void (*takeAway)(const std::string& data, const std::string& temp);
        const char* storedAs;  // relative to the Data folder
    } cases[] = {
        {"the .tmp deleted", [](const auto&, const auto& temp) { fs::remove(temp); }, "77/%s.csv"},
        {"the .tmp deleted and its name taken by another file",
         [](const auto&, const auto& temp) {
             fs::remove(temp);
             std::ofstream(temp) << "another";
         },
         "77/%s-2.csv"},
        {"the serial folder moved away",
         [](const auto& data, const auto&) { fs::rename(data + "77", data + "elsewhere"); },
         "77/%s.csv"},
        {"the Data folder moved away",
         [](const auto& data, const auto&) {
             fs::rename(data.substr(0, data.size() - 1), data.substr(0, data.size() - 1) + ".old");
         },
         "77/%s.csv"},
    };
    for (const auto& c : cases) {
        ScratchFolder scratch;
        const std::string data = scratch.Path() + "Data/";
        const std::uint16_t port = FreePort();
        OrbtrayProcess orbtray(data, port, {}, {"--no-usb-scan", "--web", "off"});
        ASSERT_TRUE(orbtray.Ready()) << c.what;
        const Lines lines = {"2024-05-14 08:00:00,20.5", "2024-05-14 08:00:01,20.6"};
        const std::string all = Conversation("77", lines);
        const std::size_t bye = all.rfind("BYE");
        platform::Socket link = ConnectWithRetry(port);
        Send(link, all.substr(0, bye));
        std::string temp;
        ASSERT_TRUE(WaitUntil([&] {
            const Lines files = FilesBelow(data);
            temp = files.size() == 1 ? data + files[0] : "";
            return !temp.empty() && fs::file_size(temp) == 0;
        })) << c.what;
        ASSERT_TRUE(
            WaitUntil([&] { return CountContaining(orbtray.Err(), "serial number") == 1; }));
        c.takeAway(data, temp);
        SendAndFinish(link, all.substr(bye));
        ASSERT_TRUE(WaitUntil([&] { return Received(orbtray.Out()).size() == 1; })) << c.what;
        const std::string stem = fs::path(temp).stem().string();
        char storedAs[64];
        std::snprintf(storedAs, sizeof storedAs, c.storedAs, stem.c_str());
        EXPECT_EQ(Received(orbtray.Out()).begin()->first, data + storedAs) << c.what;
        EXPECT_EQ(FileContents(data + storedAs), StoredFile(lines)) << c.what;
        EXPECT_EQ(CountContaining(orbtray.Err(), "file taken away while receiving, written again"),
                  1u)
            << c.what << ::testing::PrintToString(orbtray.Err());
        EXPECT_EQ(orbtray.Stop(), 0) << c.what;
    }
}

}  // namespace
