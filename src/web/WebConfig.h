#pragma once

// Where and for whom the web page is served, settled from the command line before it starts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "web/WebAddress.h"

struct WebConfig {
    std::string host = "127.0.0.1";  // an IP address (IPv6 without brackets) or a host name
    std::uint16_t port = 9394;
    std::string token;               // empty: no token asked for
    std::vector<std::string> hosts;  // names besides the address and localhost
    std::string dataFolder;          // ends in '/'
};

// The token is the file's first line, without surrounding white space; false with `error` set
// when the file is not a regular file of at most kMaxWebTokenFile bytes that only its owner may
// read, or its token is empty or holds a character a cookie cannot carry.
constexpr std::size_t kMaxWebTokenFile = 4096;
[[nodiscard]] bool ReadWebToken(const std::string& path, std::string& token, std::string& error);
