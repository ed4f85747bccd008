#include "Endpoint.h"

namespace orbsim {

bool ParseNumber(std::string_view text, long long min, long long max, long long* value) {
    // 18 digits cannot overflow a long long; nobody types more for a port or a time.
    if (text.empty() || text.size() > 18) {
        return false;
    }
    long long result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    if (result < min || result > max) {
        return false;
    }
    *value = result;
    return true;
}

bool ParseIpv4Address(std::string_view text, platform::Ipv4Endpoint* endpoint) {
    if (text == "localhost") {
        text = "127.0.0.1";
    }
    std::uint8_t parts[4];
    for (int i = 0; i < 4; ++i) {
        const std::size_t dot = text.find('.');
        const bool last = i == 3;
        // Exactly three dots: "1.2.3" and "1.2.3.4.5" are both refused.
        if ((dot == std::string_view::npos) != last) {
            return false;
        }
        const std::string_view part = last ? text : text.substr(0, dot);
        long long value = 0;
        if (part.size() > 3 || !ParseNumber(part, 0, 255, &value)) {
            return false;
        }
        parts[i] = static_cast<std::uint8_t>(value);
        if (!last) {
            text.remove_prefix(dot + 1);
        }
    }
    for (int i = 0; i < 4; ++i) {
        endpoint->address[i] = parts[i];
    }
    return true;
}

bool ParsePort(std::string_view text, std::uint16_t* port) {
    long long value = 0;
    if (!ParseNumber(text, 1, 65535, &value)) {
        return false;
    }
    *port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParseHostAndPort(std::string_view text, std::uint16_t defaultPort,
                      platform::Ipv4Endpoint* endpoint) {
    const std::size_t colon = text.find(':');
    platform::Ipv4Endpoint parsed;
    parsed.port = defaultPort;
    if (!ParseIpv4Address(text.substr(0, colon), &parsed)) {
        return false;
    }
    if (colon != std::string_view::npos && !ParsePort(text.substr(colon + 1), &parsed.port)) {
        return false;
    }
    *endpoint = parsed;
    return true;
}

std::string FormatEndpoint(const platform::Ipv4Endpoint& endpoint) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        text += std::to_string(endpoint.address[i]);
        text += i < 3 ? '.' : ':';
    }
    return text + std::to_string(endpoint.port);
}

}  // namespace orbsim
