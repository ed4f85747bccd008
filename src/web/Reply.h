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

// What every answer carries, the admission gate's own included. Never kept alive: each request
// comes through the gate, which alone decides who may hold a connection.
struct HeaderField {
    const char* name;
    const char* value;
};
inline constexpr HeaderField kCommonHeaders[] = {
    // The page's own files only: no inline script or style, no framing, no form posting
    // elsewhere.
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Connection", "close"},
};

Reply TextReply(unsigned status, std::string text);
Reply JsonReply(const nlohmann::json& value);

// Serial numbers are whatever bytes an instrument sent; invalid UTF-8 becomes U+FFFD rather
// than failing the whole answer.
std::string JsonText(const nlohmann::json& value);
