#include <cctype>
#include <cstring>

#include "transfer/Store.h"

namespace {

// Characters that Windows or POSIX would read as part of a path, plus our own escape character.
bool IsUnsafeCharacter(char c) {
    return c == '%' || std::strchr("\\/:*?\"<>|", c) != nullptr;
}

// Windows opens a device instead of a file for these names, whatever their case and even with an
// extension; trailing blanks before the extension are ignored too ("CON .txt").
bool IsDeviceName(std::string_view name) {
    std::string_view base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.remove_suffix(1);
    }
    std::string upper;
    for (const char c : base) {
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (upper == device) {
            return true;
        }
    }
    return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) &&
           std::isdigit(static_cast<unsigned char>(upper[3]));
}

void AppendEncoded(std::string& out, char c) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

}  // namespace

std::string SerialDirectoryName(std::string_view serial) {
    // An empty serial would put its files straight into the Data folder; "%00" cannot come from
    // any real serial, because a serial never holds a NUL.
    if (serial.empty()) {
        return "%00";
    }
    std::string out;
    if (serial == "." || serial == "..") {
        for (const char c : serial) {
            AppendEncoded(out, c);
        }
        return out;
    }
    const bool device = IsDeviceName(serial);
    const std::size_t last = serial.size() - 1;
    for (std::size_t i = 0; i < serial.size(); ++i) {
        const char c = serial[i];
        // Windows drops trailing blanks and dots, and leading blanks are easily lost by tools.
        const bool trimmed = (c == ' ' && (i == 0 || i == last)) || (c == '.' && i == last);
        if (IsUnsafeCharacter(c) || trimmed || (device && i == 0)) {
            AppendEncoded(out, c);
        } else {
            out += c;
        }
    }
    return out;
}
