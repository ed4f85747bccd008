// The real orbtray on a Data folder that fills up: a small RAM file system mounted for the test
// (root only; elsewhere the store's own tests cover the same through its file seam). A transfer
// that does not fit is refused and leaves nothing, over TCP and over a serial port, and the next
// one that fits arrives as usual.

#include <signal.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/Loopback.h"
#include "fakes/ScratchFolder.h"
#include "integration/OrbtrayProcess.h"
#include "platform/FileSystem.h"

namespace {

using Lines = std::vector<std::string>;

// A 256 KiB file system over `folder` for the object's lifetime.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& folder) : folder_(folder) {
        mounted_ = ::mount("orbtray-test", folder.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }

private:
    std::string folder_;
    bool mounted_ = false;
};

TEST(FullDisk, AFileThatDoesNotFitIsRefusedAndLeavesNothing) {
    ScratchFolder scratch;
    std::string line(1000, 'x');
    std::string big;
    for (int i = 0; i < 400; ++i) {
        big += line + "\n";
    }
    scratch.Write("big.csv", big);
    scratch.Write("small.csv", "1,2\n3,4\n");
    const std::string data = scratch.Path() + "Data/";
    scratch.Write("Data/.keep", "");
    SmallDisk disk(data);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    // A pty pair stands in for the serial cable.
    ChildProcess cable("/usr/bin/socat", {"PTY,raw,echo=0,link=" + scratch.Path() + "ttyA",
                                          "PTY,raw,echo=0,link=" + scratch.Path() + "ttyB"});
    ASSERT_TRUE(WaitUntil([&] { return platform::PathExists(scratch.Path() + "ttyB"); }));
    const std::uint16_t port = FreePort();
    ChildProcess orbtray(kOrbtrayPath, {"--data-folder", data, "--port", std::to_string(port),
                                        "--no-usb-scan", "--serial-port", scratch.Path() + "ttyA"});
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(orbtray.Out(), "receiving into") > 0; }));
    const std::string tcp = "127.0.0.1:" + std::to_string(port);

    // Over TCP the instrument cannot be told; the file just never appears.
    EXPECT_EQ(
        RunToEnd(kOrbsimPath, {"send", "--tcp", tcp, "--serial", "T1", scratch.Path() + "big.csv"})
            .status,
        0);
    ASSERT_TRUE(
        WaitUntil([&] { return CountContaining(orbtray.Err(), "cannot write file") == 1; }));
    // A serial instrument is answered NAK and keeps its data.
    const Finished serial = RunToEnd(kOrbsimPath, {"send", "--serial-port", scratch.Path() + "ttyB",
                                                   "--serial", "U1", scratch.Path() + "big.csv"});
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(CountContaining(serial.err, "NAK"), 1u) << ::testing::PrintToString(serial.err);
    ASSERT_TRUE(
        WaitUntil([&] { return CountContaining(orbtray.Err(), "cannot write file") == 2; }));

    // The refused files left nothing behind, so a file that fits still gets in.
    EXPECT_EQ(RunToEnd(kOrbsimPath,
                       {"send", "--tcp", tcp, "--serial", "T1", scratch.Path() + "small.csv"})
                  .status,
              0);
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(orbtray.Out(), "File Received") == 1; }));
    orbtray.Signal(SIGTERM);
    EXPECT_EQ(orbtray.Wait(), 0);
    Lines files;
    for (const std::string& file : scratch.Files()) {
        if (file.starts_with("Data/")) {
            files.push_back(file.substr(0, file.find('/', 5) + 1) + "*" +
                            file.substr(file.rfind('.')));
        }
    }
    EXPECT_EQ(files, (Lines{"Data/T1/*.csv"}));
}

}  // namespace
