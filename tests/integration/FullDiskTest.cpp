// The real orbtray on a Data folder that fills up: a small RAM file system mounted for the test
// (root only; elsewhere the store's own tests cover the same through its file seam). A transfer
// that does not fit is refused and leaves nothing, over TCP and over a serial port, and the next
// one that fits arrives as usual.

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "integration/OrbtrayProcess.h"
#include "platform/FileSystem.h"

namespace {

TEST(FullDisk, AFileThatDoesNotFitIsRefusedAndLeavesNothing) {
    ScratchFolder scratch;
    std::string big;
    for (int i = 0; i < 400; ++i) {
        big += std::string(1000, 'x') + "\n";
    }
    scratch.Write("big.csv", big);
    scratch.Write("small.csv", "1,2\n3,4\n");
    const std::string data = scratch.Path() + "Data/";
    std::filesystem::create_directory(data);
    // 256 KiB: the big file does not fit.
    if (::mount("orbtray-test", data.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        data.c_str(), [](const char* folder) { ::umount2(folder, MNT_DETACH); });
    // A pty pair stands in for the serial cable.
    ChildProcess cable("/usr/bin/socat", {"PTY,raw,echo=0,link=" + scratch.Path() + "ttyA",
                                          "PTY,raw,echo=0,link=" + scratch.Path() + "ttyB"});
    ASSERT_TRUE(WaitUntil([&] { return platform::PathExists(scratch.Path() + "ttyB"); }));
    const std::uint16_t port = FreePort();
    OrbtrayProcess orbtray(data, port, {},
                           {"--no-usb-scan", "--serial-port", scratch.Path() + "ttyA"});
    ASSERT_TRUE(orbtray.Ready());
    const auto send = [&](const std::vector<std::string>& link, const char* file) {
        std::vector<std::string> arguments{"send"};
        arguments.insert(arguments.end(), link.begin(), link.end());
        arguments.insert(arguments.end(),
                         {"--serial", link[0] == "--tcp" ? "T1" : "U1", scratch.Path() + file});
        return RunToEnd(kOrbsimPath, arguments);
    };
    const std::vector<std::string> tcp{"--tcp", "127.0.0.1:" + std::to_string(port)};

    // Over TCP the instrument cannot be told; the file just never appears.
    EXPECT_EQ(send(tcp, "big.csv").status, 0);
    ASSERT_TRUE(
        WaitUntil([&] { return CountContaining(orbtray.Err(), "cannot write file") == 1; }));
    // A serial instrument is answered NAK and keeps its data.
    const Finished serial = send({"--serial-port", scratch.Path() + "ttyB"}, "big.csv");
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(CountContaining(serial.err, "NAK"), 1u) << ::testing::PrintToString(serial.err);
    ASSERT_TRUE(
        WaitUntil([&] { return CountContaining(orbtray.Err(), "cannot write file") == 2; }));

    // The refused files left nothing behind, so a file that fits still gets in.
    EXPECT_EQ(send(tcp, "small.csv").status, 0);
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(orbtray.Out(), "File Received") == 1; }));
    EXPECT_EQ(orbtray.Stop(), 0);
    const std::vector<std::string> files = scratch.Files();
    EXPECT_EQ(CountContaining(files, "Data/"), 1u) << ::testing::PrintToString(files);
    EXPECT_TRUE(std::ranges::any_of(files, [](const std::string& file) {
        return std::regex_match(file, std::regex("Data/T1/[0-9]{6}-[0-9]{6}\\.csv"));
    }));
}

}  // namespace
