#pragma once

// What a route answers, before the server adds the headers every response carries.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

struct Reply {
    unsigned status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    // A file's bytes instead of `body`: the server sends them straight from the descriptor and
    // closes it.
    int fd = -1;
    std::uint64_t fdSize = 0;
    std::vector<std::pair<std::string, std::string>> headers;
};

Reply TextReply(unsigned status, std::string text);
Reply JsonReply(const nlohmann::json& value);

// Serial numbers are whatever bytes an instrument sent; invalid UTF-8 becomes U+FFFD rather
// than failing the whole answer.
std::string JsonText(const nlohmann::json& value);
