#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "fakes/ScratchFolder.h"
#include "platform/PortEnumeration.h"

namespace fs = std::filesystem;

namespace {

// A sysfs tree shaped like the kernel's: class/tty/<name> entries (real ones are links into
// devices/), each with device/driver linking to the driver bound to the port.
class FakeSysfs {
public:
    FakeSysfs() {
        for (const char* driver : {"cp210x", "ftdi_sio"}) {
            fs::create_directories(Root() / "bus/usb-serial/drivers" / driver);
        }
        fs::create_directories(Root() / "class/tty");
    }

    std::string RootPath() const { return (Root() / "").string(); }

    // class/tty/<tty> as a plain directory.
    void AddTty(const std::string& tty, const std::string& driver) {
        const fs::path device = Root() / "class/tty" / tty / "device";
        fs::create_directories(device);
        fs::create_directory_symlink("../../../bus/usb-serial/drivers/" + driver,
                                     device / "driver");
    }

    // class/tty/<tty> as a link into devices/, the way the kernel lays it out.
    void AddLinkedTty(const std::string& tty, const std::string& driver) {
        const fs::path device = Root() / "devices/usb1/1-1" / tty / "device";
        fs::create_directories(device);
        fs::create_directory_symlink("../../../../../bus/usb-serial/drivers/" + driver,
                                     device / "driver");
        fs::create_directory_symlink("../../devices/usb1/1-1/" + tty, Root() / "class/tty" / tty);
    }

    void AddTtyWithoutDevice(const std::string& tty) {
        fs::create_directories(Root() / "class/tty" / tty);
    }

private:
    fs::path Root() const { return fs::path(scratch_.Path()) / "sys"; }

    ScratchFolder scratch_;
};

TEST(FindCp210xPorts, ListsOnlyTtysBoundToTheCp210xDriver) {
    FakeSysfs sysfs;
    sysfs.AddTty("ttyUSB0", "cp210x");
    sysfs.AddTty("ttyUSB1", "ftdi_sio");
    sysfs.AddLinkedTty("ttyUSB7", "cp210x");
    sysfs.AddLinkedTty("ttyUSB8", "ftdi_sio");
    sysfs.AddTtyWithoutDevice("ttyS0");
    sysfs.AddTtyWithoutDevice("tty1");

    const std::vector<platform::PortInfo> ports = platform::FindCp210xPorts(sysfs.RootPath());
    ASSERT_EQ(ports.size(), 2u);
    std::set<std::string> names;
    for (const platform::PortInfo& port : ports) {
        names.insert(port.name);
        EXPECT_EQ(port.path, "/dev/" + port.name);
        EXPECT_GT(port.number, 0);
    }
    EXPECT_EQ(names, (std::set<std::string>{"ttyUSB0", "ttyUSB7"}));
    EXPECT_NE(ports[0].number, ports[1].number);
    EXPECT_LT(ports[0].number, ports[1].number) << "sorted by number";
}

TEST(FindCp210xPorts, KeepsEachPortsNumberAcrossScansAndDescriptions) {
    FakeSysfs sysfs;
    sysfs.AddTty("ttyUSB0", "cp210x");
    const std::vector<platform::PortInfo> first = platform::FindCp210xPorts(sysfs.RootPath());
    ASSERT_EQ(first.size(), 1u);

    // Another adapter appearing must not renumber the one already known.
    sysfs.AddTty("ttyUSB3", "cp210x");
    const std::vector<platform::PortInfo> second = platform::FindCp210xPorts(sysfs.RootPath());
    ASSERT_EQ(second.size(), 2u);
    const int number = first[0].number;
    EXPECT_EQ(second[0].name, "ttyUSB0");
    EXPECT_EQ(second[0].number, number);
    EXPECT_NE(second[1].number, number);

    EXPECT_EQ(platform::DescribePort("/dev/ttyUSB0").number, number);
}

TEST(FindCp210xPorts, FindsNothingWithoutATtyClass) {
    ScratchFolder empty;
    EXPECT_TRUE(platform::FindCp210xPorts(empty.Path() + "nowhere").empty());
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
