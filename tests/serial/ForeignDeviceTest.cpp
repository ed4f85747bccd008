// What the USB listener does with bridges that are not instruments', over pseudo-terminals behind
// a fake sysfs tree, so that they count as found rather than named: a board's debug console is
// let go after a few lines until it is plugged in again, while an instrument beside it is served
// throughout; a console the user named is kept; an ignored port is never opened.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "link/UsbListener.h"
#include "transfer/Store.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// The test keeps only the master side: a slave it held open would make the port another
// program's.
struct Pty {
    Pty() {
        char name[256] = {};
        int slave = -1;
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slavePath = name;
            ::close(slave);
            ::fcntl(master, F_SETFL, O_NONBLOCK);
        }
    }
    ~Pty() { ::close(master); }
    int master = -1;
    std::string slavePath;
};

// Writes what it can without waiting: a closed slave must not block the test.
void Offer(int fd, const std::string& bytes) {
    [[maybe_unused]] const ssize_t n = ::write(fd, bytes.data(), bytes.size());
}

std::string Drain(int fd) {
    std::string got;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

TEST(ForeignDevice, AConsoleIsLetGoUntilReplugWhileTheInstrumentBesideItIsServed) {
    const ScratchFolder scratch;
    const std::string sys = scratch.Path() + "sys";
    const std::string dev = scratch.Path() + "dev";
    const fs::path driver = sys + "/bus/usb-serial/drivers/cp210x";
    fs::create_directories(driver);
    fs::create_directories(dev);
    // console: found, chatty; instrument: found, speaks the protocol; ignored: found, never
    // opened; named: a chatty port the user named.
    Pty console, instrument, ignored, named;
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
    fs::create_symlink(named.slavePath, scratch.Path() + "named");

    RecordingLog log;
    RecordingNotifier notifier;
    const ScratchDataFolder data;
    UsbOptions options;
    options.sysfsRoot = sys;
    options.devRoot = dev;
    options.extraPorts = {scratch.Path() + "named"};
    options.ignorePorts = {"TTYUSB2"};
    options.scanPeriodMs = 20;
    options.retryPauseMs = 20;
    CUsbListener listener(data.store, options);
    const auto count = [&](const std::string& line) {
        return std::ranges::count(log.Lines(), "Connection " + line + "\n");
    };
    const auto linesOf = [&](const std::string& port) {
        return std::ranges::count_if(log.Lines(), [&](const std::string& line) {
            return line.starts_with("Connection " + port + " ");
        });
    };

    // A board printing its debug output, a line every few milliseconds, to both consoles.
    std::atomic<std::size_t> consoleNaks{0}, namedNaks{0};
    std::jthread chatter([&](const std::stop_token& stop) {
        for (unsigned tick = 0; !stop.stop_requested(); ++tick) {
            const std::string line = "[" + std::to_string(tick) + "] dbg: adc=512 temp=23.5\r\n";
            Offer(console.master, line);
            Offer(named.master, line);
            consoleNaks += std::ranges::count(Drain(console.master), '\x15');
            namedNaks += std::ranges::count(Drain(named.master), '\x15');
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
        // Left alone for many scans: no new worker, no more answers.
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(std::ranges::count(notifier.Notices(),
                                     RecordedNotice{"Device Connected", "ttyUSB0", ""}),
                  plugIn);
        EXPECT_EQ(consoleNaks.load(), naks);
        EXPECT_GE(naks, 1u);
        EXPECT_LE(naks, 21u * plugIn);
        EXPECT_LE(linesOf("ttyUSB0"), 26 * plugIn);
        if (plugIn == 1) {
            // Meanwhile the instrument is served as ever.
            const std::string conversation = "HELLO 7\r\nLINE a,1\r\nLINE b,2\r\nBYE\r\n";
            Offer(instrument.master, conversation);
            std::string answers;
            ASSERT_TRUE(WaitUntil([&] {
                answers += Drain(instrument.master);
                return answers.size() >= 4;
            }));
            EXPECT_EQ(answers, std::string(4, '\x06'));
            unplug("ttyUSB0");
            std::this_thread::sleep_for(200ms);
            plug("ttyUSB0", console);
        }
    }
    // The named console is kept however much it says.
    EXPECT_GT(namedNaks.load(), 21u);
    chatter.request_stop();
    chatter.join();
    listener.Stop();
    EXPECT_EQ(linesOf("ttyUSB2"), 0);
    EXPECT_EQ(linesOf("named") - count("named listening") - count("named closed on shutdown") -
                  count("named terminated"),
              std::ranges::count_if(log.Lines(),
                                    [](const std::string& line) {
                                        return line.starts_with("Connection named ") &&
                                               (line.ends_with(" invalid command\n") ||
                                                line.ends_with(" more messages suppressed\n"));
                                    }))
        << "only complaints and their sums";
    EXPECT_EQ(count("named listening"), 1);
    const std::vector<std::string> files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), "a,1\r\nb,2\r\n");
}

}  // namespace
