#pragma once

// A stored file as lines and fields: each LINE's data ended by CR LF (a bare LF is taken too, and
// a last line without an end counts), fields separated by the file's separator (a comma or a
// semicolon, see ReadingsFormat.h), no quoting. Both the table and the plot read files this way,
// and both within the same bounds, so that no file, however it is made, costs a request more
// than a few megabytes or a fraction of a second.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

// A line longer than this is cut to it: what is beyond is never held in memory.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;
// A readings file has a line end within its first megabyte; a longer file without one is not
// read as lines at all (it can still be downloaded).
inline constexpr std::size_t kLineEndWithin = 1024 * 1024;
// Lines are read from the first this many bytes of a file only.
inline constexpr std::uint64_t kReadBudget = 64ull * 1024 * 1024;
// ...and at most this many of them: a file of short lines costs per line, not per byte. A
// million-line transfer is read whole with room to spare.
inline constexpr std::size_t kReadLines = 4'000'000;
// ...and, where their cells are read as readings, at most this many cells: a file of many short
// cells costs per cell, and however it is made, reading it takes a fraction of a second (about
// 0.4 s of a slow processor's time, once: the file's index keeps what was read). A million
// readings of a time and seven values are read whole.
inline constexpr std::size_t kReadCells = 8'000'000;
// Lines are numbered in 32 bits where many are kept: within the budget there cannot be more.
static_assert(kReadBudget < 0xFFFFFFFFull);

inline constexpr const char* kNoLineEnds =
    "this file has no line ends in its first megabyte: it is not a readings file";

// How a reading of a file's lines went.
struct LinesRead {
    std::size_t lines = 0;    // lines visited
    bool unreadable = false;  // no line end in the first kLineEndWithin bytes: none visited
    bool partial = false;     // the file goes on past kReadBudget or kReadLines: only the lines
                              // before
    bool cut = false;         // a line longer than kMaxLineBytes was visited cut
};

// Something that calls a visitor for each of a file's lines and says how it went, without
// holding the file in memory.
using LineVisitor = std::function<void(std::string_view)>;
using LineSource = std::function<LinesRead(const LineVisitor&)>;
// The same from byte `from` of the file on, each line with the offset of its first byte, until
// the visitor returns false: a plot of part of a long file reads only that part.
using PlacedLineVisitor = std::function<bool(std::string_view line, std::uint64_t at)>;
using LineReader = std::function<LinesRead(std::uint64_t from, const PlacedLineVisitor&)>;

// Text without the blanks and tabs around it: a cell as a number or a name, and as well an HTTP
// header's value, whose optional white space is the same two characters.
inline std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

inline std::string_view WithoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// Splits at most `most` fields off the line at `separator`; false when the line has more than that.
inline bool SplitFields(std::string_view line, std::vector<std::string_view>& fields,
                        std::size_t most = static_cast<std::size_t>(-1), char separator = ',') {
    fields.clear();
    for (;;) {
        if (fields.size() == most) {
            return false;
        }
        const std::size_t end = line.find(separator);
        fields.push_back(line.substr(0, end));
        if (end == std::string_view::npos) {
            return true;
        }
        line.remove_prefix(end + 1);
    }
}
