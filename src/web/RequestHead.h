#pragma once

// A request head judged before the HTTP server sees it: only a complete, well-formed GET or HEAD
// without a body gets through, so the server never has to refuse one with its own answers
// (which would lack the page's headers).

#include <cstddef>
#include <string_view>

struct HeadCheck {
    bool complete = false;  // false with status 0: wait for more bytes
    unsigned status = 0;    // 0: hand it on; else answer with this status and `text`
    const char* text = "";
};

// Larger heads are refused; far below what the server's own buffer holds.
constexpr std::size_t kMaxHead = 8192;
// Heads with more fields (header lines, cookies, query parameters) are refused: the server keeps
// a record of each in the connection's memory, whose size is set from these two, and answers
// itself when they do not fit.
constexpr std::size_t kMaxFields = 256;
constexpr std::size_t kConnectionMemory = 64 * 1024;

// `bytes` is what has arrived so far, at most kMaxHead of it.
[[nodiscard]] HeadCheck CheckHead(std::string_view bytes);
