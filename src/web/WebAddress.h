#pragma once

// Where the web page listens, as --web takes it: "ADDR:PORT", where ADDR is a dotted IPv4
// address, "localhost", a host name, or an IPv6 address in brackets ("[::1]:9394").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr char kDefaultWebAddress[] = "127.0.0.1:9394";

struct WebAddress {
    std::string host;  // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

[[nodiscard]] std::optional<WebAddress> ParseWebAddress(std::string_view text);

// 1-65535 in decimal digits: port 0 would mean "any" to the OS, never what a user meant.
[[nodiscard]] std::optional<std::uint16_t> ParsePortNumber(std::string_view text);

// A dotted IPv4 address, "localhost", a host name, or an IPv6 address (unbracketed): what a
// Host header or --web-host may name.
[[nodiscard]] bool IsHostName(std::string_view host);

// The address as a URL or a Host header writes it: an IPv6 address in brackets.
[[nodiscard]] std::string UrlHost(const std::string& host);

// 127.0.0.0/8, "localhost" and ::1: a page there is out of other machines' reach, so it needs no
// token.
[[nodiscard]] bool IsLoopbackHost(std::string_view host);
