// What the USB listener does with bridges that are not instruments', over pseudo-terminals behind
// a fake sysfs tree, so that they count as found rather than named: a board's debug console is
// let go after a few lines until it is plugged in again, while an instrument beside it is served
// throughout; an ignored port is never opened. (A named port is kept whatever it says: the real
// orbtray's serial test.) And how a found port fares beside other programs' claims on its device,
// whichever name they were made under.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "datafolder/Store.h"
#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "integration/TestPty.h"
#include "link/UsbListener.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// Writes what it can without waiting: a closed slave must not block the test.
void Offer(int fd, const std::string& bytes) {
    [[maybe_unused]] const ssize_t n = ::write(fd, bytes.data(), bytes.size());
}

std::string Drain(int fd) {
    return Take(fd, std::string::npos, 0ms);
}

TEST(ForeignDevice, AConsoleIsLetGoUntilReplugWhileTheInstrumentBesideItIsServed) {
    const ScratchFolder scratch;
    const std::string sys = scratch.Path() + "sys";
    const std::string dev = scratch.Path() + "dev";
    const fs::path driver = sys + "/bus/usb-serial/drivers/cp210x";
    fs::create_directories(driver);
    fs::create_directories(dev);
    // console: found, chatty; instrument: found, speaks the protocol; ignored: found, never
    // opened.
    Pty console(false), instrument(false), ignored(false);
    const auto plug = [&](const std::string& tty, const Pty& pty) {
        fs::create_directory_symlink("../../../../devices/usb1/1-1/" + tty, driver / tty);
        fs::create_symlink(pty.slavePath, dev + "/" + tty);
    };
    const auto unplug = [&](const std::string& tty) {
        fs::remove(driver / tty);
        fs::remove(dev + "/" + tty);
    };
    plug("ttyUSB0", console);
    plug("ttyUSB1", instrument);
    plug("ttyUSB2", ignored);

    RecordingEvents log;
    const ScratchDataFolder data;
    UsbOptions options;
    options.sysfsRoot = sys;
    options.devRoot = dev;
    options.ignorePorts = {"TTYUSB2"};
    options.scanPeriodMs = 20;
    options.retryPauseMs = 20;
    CUsbListener listener(log.Context(data.store), options);
    const auto count = [&](const std::string& line) {
        return std::ranges::count(log.Lines(), "Connection " + line + "\n");
    };

    // A board printing its debug output, a line every few milliseconds.
    std::atomic<std::size_t> consoleNaks{0};
    std::jthread chatter([&](const std::stop_token& stop) {
        for (unsigned tick = 0; !stop.stop_requested(); ++tick) {
            const std::string line = "[" + std::to_string(tick) + "] dbg: adc=512 temp=23.5\r\n";
            Offer(console.master, line);
            consoleNaks += std::ranges::count(Drain(console.master), '\x15');
            std::this_thread::sleep_for(3ms);
        }
    });
    ASSERT_TRUE(listener.Start());
    for (int plugIn = 1; plugIn <= 2; ++plugIn) {
        ASSERT_TRUE(WaitUntil([&] {
            return count("ttyUSB0 released, no instrument on this port") == plugIn;
        })) << plugIn;
        // Answers already on their way are in once the chatter has read a few more times.
        std::this_thread::sleep_for(100ms);
        const std::size_t naks = consoleNaks;
        const auto connects = [&] {
            return std::ranges::count(log.Notices(),
                                      RecordedNotice{"Device Connected", "ttyUSB0", ""});
        };
        const auto tries = connects();
        // Left alone for many scans: no new worker, no more answers. (How many workers tried
        // the port before it was let go is no matter: a loaded machine may retry an open.)
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(connects(), tries);
        EXPECT_EQ(consoleNaks.load(), naks);
        EXPECT_GE(naks, 1u);
        // A loaded machine may retry an open, never answer a stranger more.
        EXPECT_LE(naks, 21u * plugIn);
        if (plugIn == 1) {
            // Meanwhile the instrument is served as ever.
            const std::string conversation = "HELLO 7\r\nLINE a,1\r\nLINE b,2\r\nBYE\r\n";
            Offer(instrument.master, conversation);
            EXPECT_EQ(Take(instrument.master, 4, 10s), std::string(4, '\x06'));
            unplug("ttyUSB0");
            std::this_thread::sleep_for(200ms);
            plug("ttyUSB0", console);
        }
    }
    chatter.request_stop();
    chatter.join();
    listener.Stop();
    EXPECT_EQ(LinesOf(log.Lines(), "ttyUSB2"), std::vector<std::string>{});
    const std::vector<std::string> files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), "a,1\r\nb,2\r\n");
}

// One found port, ttyUSB0 of a fake tree: a link to a pseudo-terminal, with a udev-style by-id
// link beside it, lock files in a scratch lock directory, and beside it a named "control" port,
// a plain file that fails to open at every scan: the port objects made for it show the scans
// going by.
struct Tree {
    Tree() {
        fs::create_directories(driver);
        fs::create_directories(dev + "/serial/by-id");
        fs::create_directories(locks);
        fs::create_directory_symlink("../../../../devices/usb1/1-1/ttyUSB0", driver + "/ttyUSB0");
        fs::create_symlink(pty.slavePath, dev + "/ttyUSB0");
        fs::create_symlink("../../ttyUSB0", byId);
        scratch.Write("control", "");
    }
    // "pts_3" for /dev/pts/3: the pty's own lock name.
    std::string PtsName() const {
        return "pts_" + pty.slavePath.substr(pty.slavePath.rfind('/') + 1);
    }
    void Lock(const std::string& name, const std::string& bytes) const {
        std::ofstream(locks + "/" + name, std::ios::binary) << bytes;
    }

    ScratchFolder scratch;
    const std::string driver = scratch.Path() + "sys/bus/usb-serial/drivers/cp210x";
    const std::string dev = scratch.Path() + "dev";
    const std::string locks = scratch.Path() + "lock";
    const std::string byId = dev + "/serial/by-id/usb-Silicon_Labs_CP2102_0001-if00-port0";
    const std::string byIdLock = "LCK..serial_by-id_usb-Silicon_Labs_CP2102_0001-if00-port0";
    Pty pty{false};
};

std::string PidText(long pid, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, pid);
    return text;
}

// A process that has ended: its number names nobody now.
long EndedPid() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    return child;
}

enum class Fate { Served, Held, HeldThenServed, Ignored };

struct Claim {
    const char* what;
    // Plants the claim; false when this system cannot make it (the row is then skipped).
    std::function<bool(Tree&, UsbOptions&)> make;
    Fate fate;
    std::string holder;  // part of how the log names the holder; "@" is the lock directory
};

// A process with the device open under a second name, ended after its row.
struct NodeHolder {
    ~NodeHolder() { End(); }
    void End() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (!mounted.empty()) {
            ::umount2(mounted.c_str(), MNT_DETACH);
            mounted.clear();
        }
    }
    std::string Comm() const {
        std::string name;
        std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> name;
        return name;
    }
    pid_t pid = -1;
    std::string mounted;
};

TEST(ForeignDevice, ClaimsOnThePortsDeviceHoldUnderAnyNameAndStaleOnesAreTakenOver) {
    NodeHolder nodeHolder;
    const int live = 1;  // init never ends
    const std::vector<Claim> claims = {
        {"a text lock of a live process, four bytes long",
         [&](Tree& t, UsbOptions&) {
             return t.Lock("LCK..ttyUSB0", PidText(live, "%3ld\n")), true;
         },
         Fate::Held, "(pid 1)"},
        {"a binary lock of a live process",
         [&](Tree& t, UsbOptions&) {
             const int pid = live;
             return t.Lock("LCK..ttyUSB0", std::string(reinterpret_cast<const char*>(&pid), 4)),
                    true;
         },
         Fate::Held, "(pid 1)"},
        {"a lock under the name of a link to the device",
         [&](Tree& t, UsbOptions&) { return t.Lock(t.byIdLock, PidText(live, "%10ld\n")), true; },
         Fate::Held, "(pid 1)"},
        {"a lock under the pseudo-terminal's name",
         [&](Tree& t, UsbOptions&) {
             return t.Lock("LCK.." + t.PtsName(), PidText(live, "%ld\n")), true;
         },
         Fate::Held, "(pid 1)"},
        {"a directory in the lock's place",
         [](Tree& t, UsbOptions&) { return fs::create_directory(t.locks + "/LCK..ttyUSB0"); },
         Fate::Held, "a lock file @/LCK..ttyUSB0 that cannot be read"},
        {"an empty lock just made",
         [](Tree& t, UsbOptions&) { return t.Lock("LCK..ttyUSB0", ""), true; },
         Fate::HeldThenServed, "a lock file @/LCK..ttyUSB0 still being written"},
        {"an empty lock left long ago",
         [](Tree& t, UsbOptions&) {
             t.Lock(t.byIdLock, "");
             fs::last_write_time(t.locks + "/" + t.byIdLock,
                                 fs::file_time_type::clock::now() - std::chrono::minutes(1));
             return true;
         },
         Fate::Served, ""},
        {"a text lock of a process that has ended",
         [](Tree& t, UsbOptions&) {
             return t.Lock("LCK..ttyUSB0", PidText(EndedPid(), "%ld\n")), true;
         },
         Fate::Served, ""},
        {"a process with the device open under a second name",
         [&](Tree& t, UsbOptions&) {
             // A pty cannot be reached through a node made elsewhere, but through a bind mount,
             // which shows as a path of its own in /proc as a second node would.
             const std::string node = t.scratch.Path() + "node";
             t.scratch.Write("node", "");
             if (::mount(t.pty.slavePath.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                 return false;
             }
             nodeHolder.mounted = node;
             nodeHolder.pid = ::fork();
             if (nodeHolder.pid == 0) {
                 // Without the master, which would make it the line's far end.
                 ::close(t.pty.master);
                 const int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY);
                 ::dup2(fd, 0);
                 ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
                 ::_exit(127);
             }
             return WaitUntil([&] { return nodeHolder.Comm() == "sleep"; });
         },
         Fate::Held, "sleep (pid "},
        {"ignored by the name of a link to it",
         [](Tree& t, UsbOptions& options) { return options.ignorePorts = {t.byId}, true; },
         Fate::Ignored, ""},
        {"ignored by the pseudo-terminal's own path",
         [](Tree& t, UsbOptions& options) { return options.ignorePorts = {t.pty.slavePath}, true; },
         Fate::Ignored, ""},
        {"named twice more, through links",
         [](Tree& t, UsbOptions& options) {
             fs::create_symlink(t.pty.slavePath, t.scratch.Path() + "a");
             fs::create_symlink(t.byId, t.scratch.Path() + "b");
             options.extraPorts.push_back(t.scratch.Path() + "a");
             options.extraPorts.push_back(t.scratch.Path() + "b");
             return true;
         },
         Fate::Served, ""},
    };
    const std::string self = PidText(::getpid(), "%10ld\n");
    for (const Claim& claim : claims) {
        SCOPED_TRACE(claim.what);
        Tree tree;
        RecordingEvents log;
        const ScratchDataFolder data;
        UsbOptions options;
        options.sysfsRoot = tree.scratch.Path() + "sys";
        options.devRoot = tree.dev;
        options.lockDirectories = {tree.locks};
        options.extraPorts = {tree.scratch.Path() + "control"};
        options.scanPeriodMs = 20;
        options.retryPauseMs = 20;
        if (!claim.make(tree, options)) {
            std::cerr << "skipped (needs root and mounts): " << claim.what << "\n";
            continue;
        }
        // Every try at a port takes a port object of its own: counting them counts the tries.
        std::atomic<int> tries{0};
        options.makePort = [&tries](const platform::PortPlaces& places) {
            ++tries;
            return platform::MakeSerialPort(places);
        };
        CUsbListener listener(log.Context(data.store), options);
        const auto startsWith = [&](const std::string& start) {
            return std::ranges::count_if(log.Lines(), [&](const std::string& line) {
                return line.starts_with("Connection " + start);
            });
        };
        const auto heldBy = [&](const std::string& holder) {
            return std::ranges::count_if(log.Lines(), [&](const std::string& line) {
                return line.starts_with("Connection ttyUSB0 port in use by ") &&
                       line.find(holder) != std::string::npos;
            });
        };
        const auto connected = [&] {
            return std::ranges::count(log.Notices(),
                                      RecordedNotice{"Device Connected", "ttyUSB0", ""});
        };
        std::string holder = claim.holder;
        if (const std::size_t at = holder.find('@'); at != std::string::npos) {
            holder.replace(at, 1, fs::canonical(tree.locks).string());
        }
        ASSERT_TRUE(listener.Start());
        if (claim.fate == Fate::Held || claim.fate == Fate::HeldThenServed) {
            ASSERT_TRUE(WaitUntil([&] { return heldBy(holder) == 1; }))
                << ::testing::PrintToString(log.Lines());
        }
        if (claim.fate == Fate::Held) {
            // Told once however often it is tried.
            ASSERT_TRUE(WaitUntil([&] { return tries.load() >= 5; }));
            EXPECT_EQ(startsWith("ttyUSB0 port in use by "), 1);
            EXPECT_EQ(connected(), 0);
        }
        if (claim.fate == Fate::Ignored) {
            // Many scans go by, the control tried at each.
            ASSERT_TRUE(WaitUntil([&] { return tries.load() >= 5; }));
            EXPECT_EQ(startsWith("ttyUSB0 "), 0);
        }
        if (claim.fate == Fate::Served || claim.fate == Fate::HeldThenServed) {
            ASSERT_TRUE(WaitUntil([&] { return connected() == 1; }, 30s))
                << ::testing::PrintToString(log.Lines());
            Offer(tree.pty.master, "HELLO 7\r\n");
            EXPECT_EQ(Take(tree.pty.master, 1, 10s), "\x06");
            // The device is claimed under every name another program may look for.
            for (const std::string& name :
                 {std::string("LCK..ttyUSB0"), "LCK.." + tree.PtsName(), tree.byIdLock}) {
                EXPECT_EQ(FileContents(tree.locks + "/" + name), self) << name;
            }
        }
        listener.Stop();
        // Only the control and the port itself ever spoke, and no lock of this process is left.
        EXPECT_EQ(std::ranges::count_if(log.Lines(),
                                        [](const std::string& line) {
                                            return !line.starts_with("Connection ttyUSB0 ") &&
                                                   !line.starts_with("Connection control ");
                                        }),
                  0)
            << ::testing::PrintToString(log.Lines());
        for (const auto& entry : fs::directory_iterator(tree.locks)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            EXPECT_NE(FileContents(entry.path().string()), self) << entry.path();
        }
        nodeHolder.End();
    }
}

}  // namespace
