#include "web/WebConfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
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
