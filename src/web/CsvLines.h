#pragma once

// A stored file as lines and fields: each LINE's data ended by CR LF (a bare LF is taken too, and
// a last line without an end counts), fields separated by commas, no quoting. Both the table and
// the plot read files this way.

#include <cstddef>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

// Something that calls a visitor for each of a file's lines and returns how many there were:
// the plot reads a file twice this way without holding it in memory.
using LineVisitor = std::function<void(std::string_view)>;
using LineSource = std::function<std::size_t(const LineVisitor&)>;

inline std::string_view WithoutCarriageReturn(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

inline void SplitFields(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    for (;;) {
        const std::size_t comma = line.find(',');
        fields.push_back(line.substr(0, comma));
        if (comma == std::string_view::npos) {
            return;
        }
        line.remove_prefix(comma + 1);
    }
}
