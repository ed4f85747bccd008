#include "platform/Cp210xName.h"

#include <climits>
#include <cstddef>

namespace platform {
namespace {

constexpr char kBridgeName[] = "Silicon Labs CP210x USB to UART Bridge";
constexpr std::size_t kBridgeNameLength = sizeof kBridgeName - 1;
// The number follows " (COM"; those five characters are skipped unread, so a localised or
// otherwise altered spelling of them does not hide the port.
constexpr std::size_t kNumberOffset = kBridgeNameLength + 5;

}  // namespace

int Cp210xPortNumber(const std::string& friendlyName) {
    if (friendlyName.compare(0, kBridgeNameLength, kBridgeName) != 0 ||
        friendlyName.size() <= kNumberOffset) {
        return 0;
    }
    int number = 0;
    for (std::size_t i = kNumberOffset; i < friendlyName.size(); ++i) {
        const char c = friendlyName[i];
        if (c < '0' || c > '9') {
            break;
        }
        // No COM port has a number this large: a name that claims one names no port.
        if (number > (INT_MAX - (c - '0')) / 10) {
            return 0;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace platform
