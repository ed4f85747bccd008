#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fakes/ScratchFolder.h"
#include "platform/PortEnumeration.h"

namespace fs = std::filesystem;

namespace {

// A device directory and a sysfs tree shaped like the kernel's: the cp210x driver's directory,
// present while the module is loaded, holds its controls and one link per bound port.
class FakeTrees {
public:
    std::string Sys() const { return scratch_.Path() + "sys"; }
    std::string Dev() const { return scratch_.Path() + "dev"; }

    void Bind(const std::string& tty) const {
        if (fs::create_directories(Driver())) {
            for (const char* control : {"bind", "unbind", "new_id", "uevent"}) {
                std::ofstream(Driver() / control);
            }
            fs::create_directory_symlink("../../../../module/cp210x", Driver() / "module");
        }
        fs::create_directory_symlink("../../../../devices/usb1/1-1/" + tty, Driver() / tty);
    }
    void Node(const std::string& tty) const { std::ofstream(Dev() + "/" + tty); }
    void Unplug(const std::string& tty) const {
        fs::remove(Driver() / tty);
        fs::remove(Dev() + "/" + tty);
    }
    void Unload() const { fs::remove_all(Driver()); }

private:
    fs::path Driver() const { return Sys() + "/bus/usb-serial/drivers/cp210x"; }

    ScratchFolder scratch_;
};

TEST(PortScanner, FollowsPortsThroughTheDeviceDirectoryAndTheDriver) {
    FakeTrees trees;
    fs::create_directories(trees.Dev());
    // One with the usual settle time, one that reads the driver's list only on a change.
    platform::PortScanner scanners[] = {
        platform::PortScanner(trees.Sys(), trees.Dev()),
        platform::PortScanner(trees.Sys(), trees.Dev(), std::chrono::milliseconds(0))};
    using Names = std::vector<std::string>;  // in the order of their numbers: first seen first
    const struct {
        const char* what;
        std::function<void()> change;
        Names names[2];
    } steps[] = {
        {"first scan, driver not loaded", [] {}, {{}, {}}},
        // Reuse of the last result is the point of watching; a real binding always brings a node.
        {"binding without any change in /dev", [&] { trees.Bind("ttyUSB0"); }, {{}, {}}},
        {"its node appears", [&] { trees.Node("ttyUSB0"); }, {{"ttyUSB0"}, {"ttyUSB0"}}},
        {"a node before its binding", [&] { trees.Node("ttyUSB1"); }, {{"ttyUSB0"}, {"ttyUSB0"}}},
        {"the late binding", [&] { trees.Bind("ttyUSB1"); }, {{"ttyUSB0", "ttyUSB1"}, {"ttyUSB0"}}},
        {"first port unplugged", [&] { trees.Unplug("ttyUSB0"); }, {{"ttyUSB1"}, {"ttyUSB1"}}},
        {"driver unloaded, last node gone",
         [&] {
             trees.Unload();
             fs::remove(trees.Dev() + "/ttyUSB1");
         },
         {{}, {}}},
    };
    for (const auto& step : steps) {
        step.change();
        for (int i = 0; i < 2; ++i) {
            Names names;
            for (const platform::PortInfo& port : scanners[i].Present()) {
                names.push_back(port.name);
                EXPECT_EQ(port.path, trees.Dev() + "/" + port.name) << step.what;
                EXPECT_EQ(port.number, platform::DescribePort(port.path).number) << step.what;
            }
            EXPECT_EQ(names, step.names[i]) << step.what << ", scanner " << i;
        }
    }
}

TEST(DescribePort, NamesByTheLastComponentCutTo15Characters) {
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"/dev/pts/7", "7"},
        {"/dev/ttyACM0", "ttyACM0"},
        {"/tmp/instrument-port-a", "instrument-port"},
        {"relative", "relative"},
    };
    for (const auto& c : cases) {
        const platform::PortInfo port = platform::DescribePort(c.path);
        EXPECT_EQ(port.name, c.name) << c.path;
        EXPECT_EQ(port.path, c.path);
        EXPECT_GT(port.number, 0) << c.path;
    }
    EXPECT_NE(platform::DescribePort("/dev/pts/7").number,
              platform::DescribePort("/dev/ttyACM0").number);
    EXPECT_EQ(platform::DescribePort("/dev/pts/7").number,
              platform::DescribePort("/dev/pts/7").number);
}

}  // namespace
