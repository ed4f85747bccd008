#pragma once

// Where and for whom the web page is served, settled from the command line before it starts.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr char kDefaultWebAddress[] = "127.0.0.1";
inline constexpr std::uint16_t kDefaultWebPort = 9394;

struct WebConfig {
    std::string address = kDefaultWebAddress;  // dotted IPv4
    std::uint16_t port = kDefaultWebPort;
    std::string token;               // empty: no token asked for
    std::vector<std::string> hosts;  // names besides the address and localhost
    std::string dataFolder;          // ends in '/'
};

// "ADDR:PORT" (ADDR dotted IPv4 or "localhost") into `config`; false with `error` set otherwise.
bool ParseWebEndpoint(const std::string& text, WebConfig& config, std::string& error);

// 127.0.0.0/8: only this machine's own programs can reach the page there.
bool IsLoopbackAddress(const std::string& address);

// The token is the file's first line, without surrounding white space; false with `error` set
// when it cannot be read or is empty.
bool ReadWebToken(const std::string& path, std::string& token, std::string& error);
