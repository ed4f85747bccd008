#include <cctype>
#include <cstring>

#include "datafolder/Store.h"

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

namespace {

int HexDigit(char c) {
    // Only the upper-case digits the encoding writes: "%2e" is not something it produced.
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

std::string SerialFromDirectoryName(std::string_view directory) {
    // A name without '%' is its own serial: it is either what the store wrote unchanged or a
    // folder made by hand, and both are best shown as they are.
    if (directory.find('%') == std::string_view::npos) {
        return std::string(directory);
    }
    if (directory == "%00") {
        return std::string();
    }
    std::string serial;
    serial.reserve(directory.size());
    for (std::size_t i = 0; i < directory.size(); ++i) {
        if (directory[i] != '%') {
            serial += directory[i];
            continue;
        }
        const int high = i + 2 < directory.size() ? HexDigit(directory[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(directory[i + 2]) : -1;
        if (low < 0) {
            return std::string(directory);
        }
        serial += static_cast<char>(high * 16 + low);
        i += 2;
    }
    // Only a name the store itself would give is decoded; anything else ("%41", a stray "%00"
    // in the middle) might be some other folder's own name, so it is shown untouched.
    return SerialDirectoryName(serial) == directory ? serial : std::string(directory);
}
