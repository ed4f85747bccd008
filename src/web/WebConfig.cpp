#include "web/WebConfig.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

bool ParseWebEndpoint(const std::string& text, WebConfig& config, std::string& error) {
    const std::size_t colon = text.rfind(':');
    error = "--web must be ADDR:PORT or off, not '" + text + "'";
    if (colon == std::string::npos) {
        return false;
    }
    std::string address = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    char* end = nullptr;
    const long number = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 1 || number > 65535) {
        return false;
    }
    if (address == "localhost") {
        address = kDefaultWebAddress;
    }
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return false;
    }
    config.address = address;
    config.port = static_cast<std::uint16_t>(number);
    error.clear();
    return true;
}

bool IsLoopbackAddress(const std::string& address) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 &&
           (ntohl(parsed.s_addr) >> 24) == 127;
}

bool ReadWebToken(const std::string& path, std::string& token, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the web token file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::getline(file, token);
    const char* space = " \t\r\n";
    token.erase(0, token.find_first_not_of(space) == std::string::npos
                       ? token.size()
                       : token.find_first_not_of(space));
    token.erase(token.find_last_not_of(space) + 1);
    if (token.empty()) {
        error = "the web token file " + path + " holds no token";
        return false;
    }
    return true;
}
