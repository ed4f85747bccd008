#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "fakes/ScratchFolder.h"
#include "platform/Cp210xDriver.h"
#include "platform/PortEnumeration.h"

namespace fs = std::filesystem;

namespace {

TEST(PortScanner, FollowsPortsThroughTheDeviceDirectoryAndTheDriver) {
    // A device directory and a sysfs tree shaped like the kernel's: the cp210x driver's
    // directory, present while the module is loaded, holds its controls and one link per bound
    // port.
    const ScratchFolder scratch;
    const std::string sys = scratch.Path() + "sys";
    const std::string dev = scratch.Path() + "dev";
    const fs::path driver = sys + "/bus/usb-serial/drivers/cp210x";
    fs::create_directories(dev);
    const auto bind = [&](const std::string& tty) {
        if (fs::create_directories(driver)) {
            for (const char* control : {"bind", "unbind", "new_id", "uevent"}) {
                std::ofstream(driver / control);
            }
            fs::create_directory_symlink("../../../../module/cp210x", driver / "module");
        }
        fs::create_directory_symlink("../../../../devices/usb1/1-1/" + tty, driver / tty);
    };
    const auto node = [&](const std::string& tty) { std::ofstream(dev + "/" + tty); };
    // One with the usual settle time, one that reads the driver's list only on a change.
    platform::PortScanner scanners[] = {
        platform::PortScanner(sys, dev),
        platform::PortScanner(sys, dev, std::chrono::milliseconds(0))};
    using Names = std::vector<std::string>;  // in the order of their numbers: first seen first
    const struct {
        const char* what;
        std::function<void()> change;
        Names names[2];
    } steps[] = {
        {"first scan, driver not loaded", [] {}, {{}, {}}},
        // Reuse of the last result is the point of watching; a real binding always brings a node.
        {"binding without any change in /dev", [&] { bind("ttyUSB0"); }, {{}, {}}},
        {"its node appears", [&] { node("ttyUSB0"); }, {{"ttyUSB0"}, {"ttyUSB0"}}},
        {"a node before its binding", [&] { node("ttyUSB1"); }, {{"ttyUSB0"}, {"ttyUSB0"}}},
        {"the late binding", [&] { bind("ttyUSB1"); }, {{"ttyUSB0", "ttyUSB1"}, {"ttyUSB0"}}},
        {"first port unplugged",
         [&] { fs::remove(driver / "ttyUSB0"), fs::remove(dev + "/ttyUSB0"); },
         {{"ttyUSB1"}, {"ttyUSB1"}}},
        {"driver unloaded, last node gone",
         [&] { fs::remove_all(driver), fs::remove(dev + "/ttyUSB1"); },
         {{}, {}}},
    };
    for (const auto& step : steps) {
        step.change();
        for (int i = 0; i < 2; ++i) {
            Names names;
            for (const platform::PortInfo& port : scanners[i].Present()) {
                names.push_back(port.name);
                EXPECT_EQ(port.path, dev + "/" + port.name) << step.what;
                EXPECT_EQ(port.number, platform::DescribePort(port.path).number) << step.what;
            }
            EXPECT_EQ(names, step.names[i]) << step.what << ", scanner " << i;
        }
    }
}

// Each port named on the command line gets a number of its own, by which the listener tells its
// workers apart, and a name short enough for the log.
TEST(DescribePort, NamesByTheLastComponentCutTo15Characters) {
    EXPECT_EQ(platform::DescribePort("/tmp/instrument-port-a").name, "instrument-port");
    EXPECT_EQ(platform::DescribePort("relative").name, "relative");
    EXPECT_GT(platform::DescribePort("/dev/pts/7").number, 0);
    EXPECT_NE(platform::DescribePort("/dev/pts/7").number,
              platform::DescribePort("/dev/ttyACM0").number);
}

// orbtray warns at start when the kernel could not drive a bridge: a driver loaded (sysfs) or
// installed for the running kernel (kmod's indexes) counts, anything else does not.
TEST(Cp210xDriver, CountsALoadedOrInstalledModuleOfTheRunningKernel) {
    utsname kernel{};
    ASSERT_EQ(::uname(&kernel), 0);
    const std::string release = kernel.release;
    const std::string dep = "lib/modules/" + release + "/modules.dep";
    const std::string usbSerial = "kernel/drivers/usb/serial/usbserial.ko.xz";
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // path, contents; "/" ends a dir
        bool available;
    } cases[] = {
        {"nothing at all", {}, false},
        {"bound by the usb-serial core", {{"sys/bus/usb-serial/drivers/cp210x/", ""}}, true},
        {"module loaded, no bridge yet", {{"sys/module/cp210x/", ""}}, true},
        {"another driver loaded", {{"sys/module/ftdi_sio/", ""}}, false},
        {"installed compressed",
         {{dep, usbSerial + ":\nkernel/drivers/usb/serial/cp210x.ko.xz: " + usbSerial + "\n"}},
         true},
        {"built into the kernel",
         {{"lib/modules/" + release + "/modules.builtin", "kernel/drivers/usb/serial/cp210x.ko\n"}},
         true},
        {"only names that contain it",
         {{dep, "kernel/drivers/usb/serial/xcp210x.ko: " + usbSerial + "\nextra/cp210x.kox:\n"}},
         false},
        {"installed for another kernel only",
         {{"lib/modules/0.0.0-other/modules.dep", "kernel/drivers/usb/serial/cp210x.ko:\n"}},
         false},
    };
    for (const auto& c : cases) {
        const ScratchFolder scratch;
        for (const auto& [path, contents] : c.files) {
            const fs::path full = scratch.Path() + path;
            fs::create_directories(path.ends_with('/') ? full : full.parent_path());
            if (!path.ends_with('/')) {
                std::ofstream(full) << contents;
            }
        }
        EXPECT_EQ(
            platform::Cp210xDriverAvailable(scratch.Path() + "sys", scratch.Path() + "lib/modules"),
            c.available)
            << c.what;
    }
}

}  // namespace
