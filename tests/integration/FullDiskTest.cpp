// The real orbtray on a Data folder that fills up while the lines arrive: a small RAM file system
// mounted for the test (root only; the store's own tests cover a disk that fills at BYE through
// its file seam). A transfer that does not fit is refused and leaves nothing, over TCP and over a
// serial port, and the next one that fits arrives as usual.

#include <sys/mount.h>

#include <regex>

#include "integration/OrbtrayProcess.h"
#include "platform/FileSystem.h"

namespace {

using FullDisk = OrbtrayTest;

TEST_F(FullDisk, AFileThatDoesNotFitIsRefusedAndLeavesNothing) {
    ScratchFolder scratch;
    std::string big;
    for (int i = 0; i < 400; ++i) {
        big += std::string(1000, 'x') + "\n";
    }
    scratch.Write("big.csv", big);
    scratch.Write("small.csv", "1,2\n3,4\n");
    // 256 KiB: the big file does not fit.
    if (::mount("orbtray-test", data.Path().c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        data.Path().c_str(), [](const char* folder) { ::umount2(folder, MNT_DETACH); });
    // A pty pair stands in for the serial cable.
    ChildProcess cable("/usr/bin/socat", {"PTY,raw,echo=0,link=" + scratch.Path() + "ttyA",
                                          "PTY,raw,echo=0,link=" + scratch.Path() + "ttyB"});
    ASSERT_TRUE(WaitUntil([&] { return platform::PathExists(scratch.Path() + "ttyB"); }));
    ASSERT_NO_FATAL_FAILURE(Start({}, {"--no-usb-scan", "--serial-port", scratch.Path() + "ttyA"}));
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
    ASSERT_TRUE(Logged("cannot write file"));
    // A serial instrument is answered NAK and keeps its data.
    const Finished serial = send({"--serial-port", scratch.Path() + "ttyB"}, "big.csv");
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(CountContaining(serial.err, "NAK"), 1u) << ::testing::PrintToString(serial.err);
    ASSERT_TRUE(Logged("cannot write file", 2));

    // The refused files left nothing behind, so a file that fits still gets in.
    EXPECT_EQ(send(tcp, "small.csv").status, 0);
    ASSERT_TRUE(Said("File Received"));
    EXPECT_EQ(orbtray->Stop(), 0);
    const std::vector<std::string> files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0], std::regex("T1/[0-9]{6}-[0-9]{6}\\.csv"))) << files[0];
}

}  // namespace
