#pragma once

// A stored file as lines and fields: each LINE's data ended by CR LF (a bare LF is taken too),
// fields separated by commas, no quoting. Both the table and the plot read files this way.

#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

// Calls `visit(line)` for every line, its line end removed; a last line without one counts.
// Returns the number of lines.
template <class Visit>
std::size_t ForEachLine(std::string_view text, Visit&& visit) {
    std::size_t count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        const void* found = std::memchr(text.data() + start, '\n', text.size() - start);
        const std::size_t end =
            found != nullptr
                ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data())
                : text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        visit(line);
        ++count;
        start = end + 1;
    }
    return count;
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
