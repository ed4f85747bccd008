// The real orbtray serving a serial port as it serves a CP210x bridge, with a pseudo-terminal in
// place of the hardware: the test plays the instrument on the master side and sees every byte
// orbtray puts on the wire. orbtray opens the slave through a link in a scratch folder, so that
// the port can vanish and come back under the same path.

#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "integration/Http.h"
#include "integration/OrbtrayProcess.h"
#include "integration/TestPty.h"
#include "platform/FileSystem.h"

namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

const std::string kAck(1, '\x06');
const std::string kNak(1, '\x15');
const std::string kBootStart = ":040000A0000000005C\r\n";
// Generous, so that a loaded machine or a sanitizer build is not taken for a silent receiver.
constexpr Ms kPatience = 5s;

// Sends one command and returns the single byte that answers it.
std::string Say(int fd, std::string_view command) {
    Put(fd, command);
    return Take(fd, 1);
}

// Plays a whole transfer in one burst, every command answered by an ACK of its own.
void Transfer(int fd, const std::string& serial, const Lines& lines) {
    ASSERT_NO_FATAL_FAILURE(Put(fd, Conversation(serial, lines)));
    EXPECT_EQ(Take(fd, lines.size() + 2), std::string(lines.size() + 2, kAck[0]));
}

// Joins two masters like a null-modem cable, so that orbsim on one slave talks to orbtray on
// the other.
std::jthread Bridge(int a, int b) {
    return std::jthread([a, b](const std::stop_token& stop) {
        char buffer[4096];
        while (!stop.stop_requested()) {
            for (const auto& [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
                pollfd entry{from, POLLIN, 0};
                const ssize_t n =
                    ::poll(&entry, 1, 10) > 0 ? ::read(from, buffer, sizeof buffer) : 0;
                if (n > 0) {
                    Put(to, std::string_view(buffer, std::size_t(n)));
                }
            }
        }
    });
}

class OrbtraySerial : public OrbtrayTest {
protected:
    void StartOnPort(const Lines& extra = {}) {
        Lines arguments = {"--no-usb-scan", "--serial-port", portPath};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        Start({}, arguments);
    }
    // Points the port's path at `pty` and, unless `times` is 0, waits until orbtray has opened
    // it for the `times`th time.
    void Plug(const Pty& pty, std::size_t times = 1) {
        ASSERT_FALSE(pty.slavePath.empty()) << "no pseudo-terminal";
        ::unlink(portPath.c_str());
        ASSERT_EQ(::symlink(pty.slavePath.c_str(), portPath.c_str()), 0);
        ASSERT_TRUE(times == 0 || Said("Device Connected\t" + kName, times));
    }
    // The port's log lines without "Connection ttyA ". Whether a scan found the port's path
    // missing before a Plug is a matter of timing, so the wait for it is left out.
    Lines Log() const {
        Lines log = LinesOf(orbtray->Err(), kName);
        std::erase(log, "waiting for " + portPath);
        return log;
    }
    // What the user is told about devices and files, in order.
    Lines Notices() const {
        Lines notices = orbtray->Out();
        std::erase_if(notices,
                      [](const std::string& line) { return line.starts_with("orbtray:"); });
        return notices;
    }
    std::string Received(const std::string& serial, const std::string& file, int readings) const {
        return "File Received\tDevice " + serial + " sent " + std::to_string(readings) +
               " readings.\t" + data.Path() + file;
    }

    const std::string kName = "ttyA";
    ScratchFolder scratch;
    const std::string portPath = scratch.Path() + kName;
};

// The web page shows the port while it is open, with the serial number once the instrument
// has said it, and no longer once the adapter is pulled.
TEST_F(OrbtraySerial, IsShownOnTheWebPageWhileConnected) {
    ASSERT_NO_FATAL_FAILURE(StartOnPort({"--web", "127.0.0.1:" + std::to_string(webPort)}));
    ASSERT_TRUE(Said("orbtray: web page at"));
    EventStream viewer(webPort);
    ASSERT_TRUE(viewer.Connected());
    {
        Pty pty;
        ASSERT_NO_FATAL_FAILURE(Plug(pty));
        EXPECT_EQ(Get(webPort, "/api/connections").body,
                  R"({"connections":[{"id":1,"kind":"usb","name":"ttyA","serial":""}]})");
        EXPECT_EQ(Say(pty.master, "HELLO 42\r\n"), kAck);
        EXPECT_TRUE(
            viewer.WaitFor(R"({"connections":[{"id":1,"kind":"usb","name":"ttyA","serial":"42",)"
                           R"("transfer":{"lines":0,"rate":0.0}}]})",
                           kPatience));
    }
    EXPECT_TRUE(viewer.WaitFor("{\"connections\":[]}", kPatience));
    EXPECT_TRUE(viewer.WaitFor(R"("text":"ttyA","title":"Device Disconnected")", kPatience));
}

// A bad command is refused with a NAK, and costs an open transfer, but never the port. Which
// commands are bad is the session's own rule, tested without a port.
TEST_F(OrbtraySerial, AnswersEachCommandWithOneAckOrNakAndStoresTheFile) {
    ASSERT_NO_FATAL_FAILURE(StartOnPort());
    Pty pty;
    ASSERT_NO_FATAL_FAILURE(Plug(pty));
    EXPECT_EQ(Say(pty.master, "HELLO 42\r\n"), kAck);
    EXPECT_EQ(Say(pty.master, "LINE a,1\r\n"), kAck);
    EXPECT_EQ(Say(pty.master, "SEND\r\n"), kNak);
    EXPECT_EQ(Say(pty.master, "LINE b,2\r\n"), kNak);  // the transfer is gone
    // Every byte value but the line end and the answers: a line discipline left cooked would
    // echo, translate, swallow or hold back some of them. The last line takes two reads.
    std::string every;
    for (int value = 0; value < 256; ++value) {
        if (value != '\n' && value != kAck[0] && value != kNak[0]) {
            every += static_cast<char>(value);
        }
    }
    const std::string longLine(1500, 'L');
    Transfer(pty.master, "42", {"2025-12-14 02:54:17,23.512,mm", "", every, longLine});
    // A second answer anywhere would still be waiting here.
    EXPECT_EQ(Take(pty.master, 1, 300ms), "");
    ASSERT_TRUE(Said("File Received"));

    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].starts_with("42/") && files[0].ends_with(".csv")) << files[0];
    // Only the bytes from blank to '}' are kept.
    EXPECT_EQ(data.Read(files[0]),
              StoredFile({"2025-12-14 02:54:17,23.512,mm", "",
                          every.substr(every.find(' '), 0x7E - 0x20), longLine}));
    EXPECT_EQ(Notices(), (Lines{"Device Connected\tttyA", Received("42", files[0], 4)}));

    // A stop in the middle of a transfer leaves nothing of it behind.
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, "HELLO 43\r\nLINE x\r\n"));
    EXPECT_EQ(Take(pty.master, 2), kAck + kAck);
    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(data.Files(), files);
    EXPECT_EQ(Log(), (Lines{"listening", "serial number is 42", "invalid command",
                            "transfer aborted", "unexpected command", "serial number is 42",
                            "transfered 4 lines", "transfer complete", "serial number is 43",
                            "closed on shutdown", "terminated", "transfer aborted"}));
    EXPECT_EQ(Notices().back(), "Device Disconnected\tttyA");
}

// An instrument that sends its files back to back may have the next HELLO read with the BYE:
// both files are stored, and every command is answered. (The session reads a TCP link's chunks
// alike.)
TEST_F(OrbtraySerial, TwoTransfersInOneChunkBecomeTwoFiles) {
    ASSERT_NO_FATAL_FAILURE(StartOnPort());
    Pty pty;
    ASSERT_NO_FATAL_FAILURE(Plug(pty));
    const Lines a = {"a,1", "a,2"}, b = {"b,1"};
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, Conversation("8", a) + Conversation("9", b)));
    EXPECT_EQ(Take(pty.master, 7), std::string(7, kAck[0]));
    ASSERT_TRUE(Said("File Received", 2));
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files[0].starts_with("8/") && files[1].starts_with("9/"));
    EXPECT_EQ(data.Read(files[0]), StoredFile(a));
    EXPECT_EQ(data.Read(files[1]), StoredFile(b));
}

// Silence in the middle of a file aborts it after five seconds, and so does the loss of the
// port; a port that comes back but is held by another OrbTray is tried again until it is free.
TEST_F(OrbtraySerial, SilenceOrALostPortAbortsTheFileAndThePortIsServedAgain) {
    ASSERT_NO_FATAL_FAILURE(StartOnPort());
    auto first = std::make_unique<Pty>();
    ASSERT_NO_FATAL_FAILURE(Plug(*first));
    // Half a command: after the time-out it must not glue onto the next one.
    ASSERT_NO_FATAL_FAILURE(Put(first->master, "HELLO 42\r\nLINE a,1\r\nLINE par"));
    EXPECT_EQ(Take(first->master, 2), kAck + kAck);
    ASSERT_EQ(data.Files().size(), 1u);
    EXPECT_TRUE(data.Files()[0].ends_with(".tmp")) << data.Files()[0];
    // Four seconds of silence are not yet five.
    EXPECT_FALSE(Logged("transfer aborted", 1, 4s));
    ASSERT_TRUE(Logged("transfer aborted", 1, 15s));
    EXPECT_EQ(data.Files(), Lines{});

    EXPECT_EQ(Say(first->master, "HELLO 44\r\n"), kAck);
    ASSERT_NO_FATAL_FAILURE(Put(first->master, "LINE pa"));
    // The device node goes with the hang-up, as when an adapter is pulled, and leaves the link
    // to it behind: that is no port to serve, however many scans see it meanwhile.
    first.reset();
    ASSERT_TRUE(Said("Device Disconnected\tttyA"));
    std::this_thread::sleep_for(2500ms);

    // Another program has the port when it comes back: it is left alone, the holder named once
    // however often the port is tried, and taken once the holder has let go.
    Pty second;
    auto holder = std::make_unique<ChildProcess>(
        "/bin/sh", Lines{"-c", "exec sleep 60 <>" + second.slavePath});
    ASSERT_TRUE(WaitUntil([&] { return ::access(second.slavePath.c_str(), F_OK) == 0; }));
    std::this_thread::sleep_for(300ms);
    ASSERT_NO_FATAL_FAILURE(Plug(second, 0));
    ASSERT_TRUE(Logged("port in use by", 1, 15s));
    holder.reset();
    // The next worker comes after a pause of five seconds and a scan.
    ASSERT_TRUE(Said("Device Connected\t" + kName, 2, 15s));
    // Each holds the port under a lock, so that two receivers never share one.
    const int peek = ::open(second.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (peek >= 0) {  // root passes the exclusive mode that keeps others out
        EXPECT_NE(::flock(peek, LOCK_EX | LOCK_NB), 0);
        ::close(peek);
    }
    Transfer(second.master, "43", {"b,2"});
    ASSERT_TRUE(Logged("transfer complete"));
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), "b,2\r\n");
    Lines log = Log();
    // The tries while the port was held say so once, and nothing more.
    const auto removed = std::find(log.begin(), log.end(), "hardware removed");
    ASSERT_LT(removed + 3, log.end()) << ::testing::PrintToString(log);
    const auto held = removed + 3;
    EXPECT_TRUE(held->starts_with("port in use by sleep (pid ") && held->ends_with(")"))
        << ::testing::PrintToString(log);
    log.erase(held);
    EXPECT_EQ(log, (Lines{"listening", "serial number is 42", "timeout", "transfer aborted",
                          "serial number is 44", "hardware removed", "terminated",
                          "transfer aborted", "listening", "serial number is 43",
                          "transfered 1 lines", "transfer complete"}));
    EXPECT_EQ(Notices(), (Lines{"Device Connected\tttyA", "Device Disconnected\tttyA",
                                "Device Connected\tttyA", Received("43", files[0], 1)}));
}

// Noise on a port the user named: every second at most a few lines of complaint and their sum,
// the port kept (a named port is never let go), and a transfer after the noise arrives whole.
TEST_F(OrbtraySerial, NoiseOnANamedPortKeepsTheLogShortAndThePort) {
    // A port the user told it to ignore, here by its path, is never opened, named or not.
    Pty ignored;
    ASSERT_EQ(::symlink(ignored.slavePath.c_str(), (scratch.Path() + "ttyB").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartOnPort(
        {"--serial-port", scratch.Path() + "ttyB", "--ignore-port", scratch.Path() + "ttyB"}));
    Pty pty;
    ASSERT_NO_FATAL_FAILURE(Plug(pty));
    // The answers are read as they come, as an instrument would; a port nobody reads is the
    // stalled write's test.
    std::atomic<std::size_t> answers{0};
    std::jthread reader([&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            answers += Take(pty.master, 4096, 20ms).size();
        }
    });
    std::mt19937 random(12345);
    const auto floodStart = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    while (std::chrono::steady_clock::now() - floodStart < 4s) {
        std::string noise(4096, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        ASSERT_NO_FATAL_FAILURE(Put(pty.master, noise));
        sent += noise.size();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - floodStart).count();
    ASSERT_TRUE(Logged("more messages suppressed"));
    // Whatever the noise left of a line is ended, then a real transfer follows.
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, "\r\n"));
    std::this_thread::sleep_for(500ms);
    reader.request_stop();
    reader.join();
    Transfer(pty.master, "42", {"a,1", "b,2"});
    ASSERT_TRUE(Said("File Received"));
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), StoredFile({"a,1", "b,2"}));
    EXPECT_EQ(orbtray->Stop(), 0);
    const Lines log = Log();
    EXPECT_LT(double(log.size()), 100 * seconds) << sent << " bytes of noise";
    EXPECT_EQ(Count("released"), 0u);
    // One link the whole time: opened once, closed once (which the log may have held back).
    EXPECT_EQ(Notices(), (Lines{"Device Connected\tttyA", Received("42", files[0], 2),
                                "Device Disconnected\tttyA"}));
    EXPECT_GT(answers.load(), 0u);
    EXPECT_EQ(LinesOf(orbtray->Err(), "ttyB"), Lines{});
}

// A port whose other end takes nothing: the write that stalls ends the link with an error and
// the port is tried again; a stop during such a write ends it at once.
TEST_F(OrbtraySerial, AStalledWriteEndsTheLinkAndNeverHoldsUpAStop) {
    scratch.Write("image.hex", std::string(1 << 20, 'a'));
    ASSERT_NO_FATAL_FAILURE(StartOnPort({"--firmware", scratch.Path() + "image.hex"}));
    Pty pty;
    ASSERT_NO_FATAL_FAILURE(Plug(pty));
    // Each ACK asks for 255 more bytes of the image; nothing here reads them.
    const std::string greedy = "BOOT\r\n" + std::string(3000, kAck[0]);
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, greedy));
    ASSERT_TRUE(Logged(kName + " error ", 1, 15s));
    ASSERT_TRUE(Said("Device Connected\t" + kName, 2, 15s));
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, greedy));
    // The new link first reads what the last one left unread; on a loaded machine that takes a
    // while. Its update's line may be held back behind the leftovers' complaints: then the wait
    // runs out and the stop may still find the link among the leftovers.
    const bool updating = Logged(kName + " firmware update", 2, 30s);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(orbtray->Stop(), 0);
    const Lines log = Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) { return line.starts_with("error "); }),
              1)
        << ::testing::PrintToString(log);
    // A stop during the stalled update ends it at once.
    const Lines last = updating ? Lines{"closed on shutdown", "terminated", "transfer aborted"}
                                : Lines{"closed on shutdown", "terminated"};
    EXPECT_EQ(Lines(log.end() - std::min(log.size(), last.size()), log.end()), last)
        << ::testing::PrintToString(log);
}

TEST_F(OrbtraySerial, SendsTheFirmwareOnePiecePerAckAndServesOrbsim) {
    std::string longLine;
    for (int i = 0; i < 600; ++i) longLine += static_cast<char>('a' + i % 26);
    // Pieces end after a line feed or at 255 bytes; the last line has no line feed at all.
    const Lines pieces = {":10010000214601360121470136007EFE09D2190140\n",
                          ":00000001FF\r\n",
                          longLine.substr(0, 255),
                          longLine.substr(255, 255),
                          longLine.substr(510) + "\n",
                          "\n",
                          ":00000001FF"};
    std::string image;
    for (const auto& piece : pieces) image += piece;
    scratch.Write("image.hex", image);
    ASSERT_NO_FATAL_FAILURE(StartOnPort({"--firmware", scratch.Path() + "image.hex"}));
    Pty pty;
    ASSERT_NO_FATAL_FAILURE(Plug(pty));
    const int wire = pty.master;

    ASSERT_NO_FATAL_FAILURE(Put(wire, "BOOT\r\n"));
    EXPECT_EQ(Take(wire, 1 + kBootStart.size()), kAck + kBootStart);
    EXPECT_EQ(Take(wire, 1, 100ms), "") << "a piece before its ACK";
    for (const auto& piece : pieces) {
        ASSERT_NO_FATAL_FAILURE(Put(wire, kAck));
        EXPECT_EQ(Take(wire, piece.size()), piece);
    }
    ASSERT_NO_FATAL_FAILURE(Put(wire, kAck));
    EXPECT_EQ(Take(wire, 1, 300ms), "") << "something after the last piece";
    ASSERT_TRUE(Logged("transfer complete"));

    // orbsim through a second pty: it saves the image as it was sent, and the files it sends
    // are stored with every line ended in CR LF, whatever line ends they had.
    scratch.Write("a.csv", "a,1\nb,2\n\nlast,3\n");
    scratch.Write("b.csv", "x,10\r\ny,20");
    Pty far;
    {
        const std::jthread cable = Bridge(wire, far.master);
        const Finished boot = RunToEnd(kOrbsimPath, {"boot", "--serial-port", far.slavePath,
                                                     "--out", scratch.Path() + "saved.hex"});
        EXPECT_EQ(boot.status, 0) << ::testing::PrintToString(boot.err);
        const Finished sent =
            RunToEnd(kOrbsimPath, {"send", "--serial-port", far.slavePath, "--serial", "77",
                                   scratch.Path() + "a.csv", scratch.Path() + "b.csv"});
        EXPECT_EQ(sent.status, 0) << ::testing::PrintToString(sent.err);
        ASSERT_TRUE(Said("File Received", 2));
    }
    EXPECT_EQ(scratch.Read("saved.hex"), image);
    // On a port where nobody answers, orbsim gives up and says why.
    Pty mute;
    const Finished unanswered =
        RunToEnd(kOrbsimPath, {"boot", "--serial-port", mute.slavePath, "--timeout", "200", "--out",
                               scratch.Path() + "none.hex"});
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_EQ(CountContaining(unanswered.err, "no answer to BOOT within 200 ms"), 1u)
        << ::testing::PrintToString(unanswered.err);
    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 2u);
    // Both may have begun in the same second; their order is not the point.
    Lines contents = {data.Read(files[0]), data.Read(files[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (Lines{"a,1\r\nb,2\r\n\r\nlast,3\r\n", "x,10\r\ny,20\r\n"}));

    const std::string count = "transfered " + std::to_string(pieces.size() + 1) + " lines";
    EXPECT_EQ(Log(), (Lines{"listening", "firmware update", count, "transfer complete",
                            "firmware update", count, "transfer complete", "serial number is 77",
                            "transfered 4 lines", "transfer complete", "serial number is 77",
                            "transfered 2 lines", "transfer complete"}));
}

// A named port that is not there is waited for, said once for each absence; a path that is
// there but no terminal is refused before anything is listened on.
TEST_F(OrbtraySerial, ANamedPortIsAwaitedWhileMissingAndRefusedWhenNoTerminal) {
    scratch.Write("file", "HELLO 1\r\n");
    ASSERT_EQ(::mkdir((scratch.Path() + "folder").c_str(), 0700), 0);
    for (const std::string& path :
         {scratch.Path() + "file", scratch.Path() + "folder", std::string("/dev/null")}) {
        const Finished refused =
            RunToEnd(kOrbtrayPath, {"--data-folder", data.Path() + "never", "--port",
                                    std::to_string(port), "--web", "off", "--no-usb-scan",
                                    "--serial-port", portPath, "--serial-port", path});
        EXPECT_EQ(refused.status, 2) << path;
        EXPECT_EQ(refused.err, Lines{"orbtray: --serial-port " + path + " is not a serial port"});
        EXPECT_EQ(refused.out, Lines{}) << path;
    }
    EXPECT_FALSE(platform::PathExists(data.Path() + "never"));

    ASSERT_NO_FATAL_FAILURE(StartOnPort());
    const std::string waiting = kName + " waiting for " + portPath;
    ASSERT_TRUE(Logged(waiting));
    // A few scans find it missing still.
    std::this_thread::sleep_for(2500ms);
    {
        Pty pty;
        ASSERT_NO_FATAL_FAILURE(Plug(pty));
        EXPECT_EQ(Say(pty.master, "HELLO 42\r\n"), kAck);
    }
    ASSERT_TRUE(Logged(waiting, 2));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(Count(waiting), 2u);
}

}  // namespace
