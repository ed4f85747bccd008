#include "platform/PortEnumeration.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <setupapi.h>

#include <cctype>

#include "platform/Cp210xName.h"

namespace platform {
namespace {

// The "Ports (COM & LPT)" device class. Spelled out here so that no GUID library is needed.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

constexpr char kDevicePrefix[] = "\\\\.\\";

PortInfo ComPort(int number) {
    const std::string name = "COM" + std::to_string(number);
    return PortInfo{number, name, kDevicePrefix + name};
}

// The friendly name of one device; false when it has none or it cannot be read.
bool FriendlyName(HDEVINFO devices, SP_DEVINFO_DATA* device, std::string* name) {
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_FRIENDLYNAME, nullptr, nullptr, 0,
                                      &size);
    if (size == 0) {
        return false;
    }
    std::string buffer(size, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(devices, device, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
        return false;
    }
    // The property is a NUL-terminated string; the size counts the terminator.
    buffer.resize(buffer.find('\0') == std::string::npos ? buffer.size() : buffer.find('\0'));
    *name = buffer;
    return true;
}

// The present ports, asked of SetupAPI afresh on every call.
std::vector<PortInfo> FindCp210xPorts() {
    std::vector<PortInfo> ports;
    HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::string name;
        if (!FriendlyName(devices, &device, &name)) {
            continue;
        }
        const int number = Cp210xPortNumber(name);
        if (number > 0) {
            ports.push_back(ComPort(number));
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return ports;
}

}  // namespace

// Nothing to keep between calls.
struct PortScanner::State {};

PortScanner::PortScanner(const std::string& /*sysfsRoot*/, const std::string& /*devRoot*/,
                         std::chrono::milliseconds /*settle*/) {}

PortScanner::~PortScanner() = default;

std::vector<PortInfo> PortScanner::Present() {
    return FindCp210xPorts();
}

PortInfo DescribePort(const std::string& path) {
    std::string name = path;
    if (name.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0) {
        name.erase(0, sizeof kDevicePrefix - 1);
    }
    // Device names are case-insensitive: "com7" opens COM7 just the same.
    const bool isCom = name.size() > 3 &&
                       std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
                       std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
                       std::toupper(static_cast<unsigned char>(name[2])) == 'M';
    int number = 0;
    for (std::size_t i = 3; isCom && i < name.size(); ++i) {
        const char c = name[i];
        if (c < '0' || c > '9' || number > 99999) {
            number = 0;
            break;
        }
        number = number * 10 + (c - '0');
    }
    if (number > 0) {
        return ComPort(number);
    }
    // Not a COM port: listed under its own name, and never given a worker.
    return PortInfo{0, path, path};
}

std::string PortDeviceKey(const std::string& nameOrPath, const std::string& /*devRoot*/) {
    // One COM port has one name, in any letter case, with or without the device prefix.
    std::string name = nameOrPath;
    if (name.compare(0, sizeof kDevicePrefix - 1, kDevicePrefix) == 0) {
        name.erase(0, sizeof kDevicePrefix - 1);
    }
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

}  // namespace platform
