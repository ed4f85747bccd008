#pragma once

// What a route is asked, and what it answers before the server adds the headers every
// response carries.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/FileSystem.h"

// The query's parameters, decoded; the first of a repeated name wins.
using Query = std::map<std::string, std::string>;

struct Reply {
    unsigned status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    // A file's bytes instead of `body`, `fileSize` of them: the server sends them straight from
    // the open file. The reply owns the file until the server takes it, so a reply dropped on
    // the way closes it, once.
    std::unique_ptr<platform::File> file;
    std::uint64_t fileSize = 0;
    std::vector<std::pair<std::string, std::string>> headers;
};
// A copy would have to share the file: there is one owner, moved along.
static_assert(!std::is_copy_constructible_v<Reply> && std::is_move_constructible_v<Reply>);

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

[[nodiscard]] Reply TextReply(unsigned status, std::string text);
[[nodiscard]] Reply JsonReply(const nlohmann::json& value);

// Serial numbers are whatever bytes an instrument sent; invalid UTF-8 becomes U+FFFD rather
// than failing the whole answer.
[[nodiscard]] std::string JsonText(const nlohmann::json& value);
