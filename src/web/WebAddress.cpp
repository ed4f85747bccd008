#include "web/WebAddress.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal digits only, 0 to `max`, and no leading zero: "08" is refused rather than read as 8
// by one program and as octal by another.
bool ParseDecimal(std::string_view text, unsigned long max, unsigned long* value) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), IsDigit)) {
        return false;
    }
    unsigned long result = 0;
    for (const char c : text) {
        result = result * 10 + static_cast<unsigned long>(c - '0');
    }
    *value = result;
    return result <= max;
}

// Four decimal parts of 0-255; `first` receives the first of them.
bool IsIpv4(std::string_view text, unsigned long* first = nullptr) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        unsigned long value = 0;
        if (dot == std::string_view::npos || !ParseDecimal(text.substr(0, dot), 255, &value)) {
            return false;
        }
        if (part == 0 && first != nullptr) {
            *first = value;
        }
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return text.empty();
}

// Hex groups and colons, at least two colons; the address itself is the listener's to judge.
bool IsIpv6(std::string_view text) {
    return std::count(text.begin(), text.end(), ':') >= 2 &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '.';
           });
}

// Letters, digits and inner hyphens, labels of 1-63 separated by dots.
bool IsDnsName(std::string_view text) {
    if (text.empty() || text.size() > 253) {
        return false;
    }
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view label = text.substr(start, dot - start);
        const bool valid = !label.empty() && label.size() <= 63 && label.front() != '-' &&
                           label.back() != '-' &&
                           std::all_of(label.begin(), label.end(), [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
                           });
        if (!valid) {
            return false;
        }
        start = dot + 1;
    }
    return true;
}

bool IsNumeric(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return IsDigit(c) || c == '.'; });
}

}  // namespace

std::optional<std::uint16_t> ParsePortNumber(std::string_view text) {
    unsigned long port = 0;
    if (!ParseDecimal(text, 65535, &port) || port == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

bool IsHostName(std::string_view host) {
    // "10.1" or "1.2.3.256" are typing errors, not names.
    if (IsNumeric(host)) {
        return IsIpv4(host);
    }
    return IsIpv6(host) || IsDnsName(host);
}

std::optional<WebAddress> ParseWebAddress(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view host = text.substr(0, colon);
    const std::optional<std::uint16_t> port = ParsePortNumber(text.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    // An IPv6 address has colons of its own, hence the brackets; a bare one is refused.
    const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) {
        host = host.substr(1, host.size() - 2);
    }
    if (bracketed ? !IsIpv6(host) : (IsIpv6(host) || !IsHostName(host))) {
        return std::nullopt;
    }
    return WebAddress{std::string(host), *port};
}

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool IsLoopbackHost(std::string_view host) {
    unsigned long first = 0;
    if (IsIpv4(host, &first)) {
        return first == 127;
    }
    std::string lower(host);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "localhost" || lower == "::1" || lower == "0:0:0:0:0:0:0:1";
}
