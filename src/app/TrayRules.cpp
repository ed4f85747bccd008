#include "app/TrayRules.h"

#include <utility>

namespace {

constexpr std::string_view kDataTail = "Orbalinex\\Data\\";

}  // namespace

std::uint32_t DecodeSetting(std::size_t size, const unsigned char* bytes, std::uint32_t fallback) {
    if (size > 4) {
        return fallback;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= std::uint32_t(bytes[i]) << (8 * i);
    }
    return value;
}

RunEntry MakeRunEntry(std::optional<std::string_view> ansiPath) {
    if (!ansiPath) {
        return {"", RunEntryRefusal::PathNotInCodePage};
    }
    std::string text;
    text.reserve(ansiPath->size() + 8);
    text += '"';
    text += *ansiPath;
    text += "\" auto";
    if (text.size() + 1 > kRunEntryRoom) {
        return {"", RunEntryRefusal::PathTooLong};
    }
    return {std::move(text), RunEntryRefusal::None};
}

const char* RunEntryRefusalMessage(RunEntryRefusal refusal) {
    switch (refusal) {
        case RunEntryRefusal::None:
            break;
        case RunEntryRefusal::PathTooLong:
            return "Orbalinex Transfer cannot start with Windows from where it is installed: "
                   "the path of the program is too long for the startup entry.\n\n"
                   "Move the program to a folder with a shorter path and try again.";
        case RunEntryRefusal::PathNotInCodePage:
            return "Orbalinex Transfer cannot start with Windows from where it is installed: "
                   "the path of the program contains characters that the startup entry cannot "
                   "hold with the language set for non-Unicode programs on this PC.\n\n"
                   "Move the program to a folder whose path has only characters of that "
                   "language, such as plain letters and digits, and try again.";
    }
    return "";
}

bool IsSilentStart(const char* commandLine) {
    return commandLine != nullptr && std::string_view(commandLine) == "auto";
}

std::size_t SingleByteLength(unsigned char) {
    return 1;
}

std::size_t Utf8Length(unsigned char first) {
    if (first >= 0xF0 && first <= 0xF7) {
        return 4;
    }
    if (first >= 0xE0 && first <= 0xEF) {
        return 3;
    }
    if (first >= 0xC0 && first <= 0xDF) {
        return 2;
    }
    // ASCII, and a stray continuation byte, which must still move the walk on.
    return 1;
}

std::string CutToField(std::string_view text, std::size_t fieldSize, CharLength length) {
    const std::size_t room = fieldSize == 0 ? 0 : fieldSize - 1;
    if (text.size() <= room) {
        return std::string(text);
    }
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t next = end + length(static_cast<unsigned char>(text[end]));
        if (next > room) {
            break;
        }
        end = next;
    }
    return std::string(text.substr(0, end));
}

std::string WithTrailingBackslash(std::string path, CharLength length) {
    bool endsInBackslash = false;
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t bytes = length(static_cast<unsigned char>(path[at]));
        endsInBackslash = bytes == 1 && path[at] == '\\';
        at += bytes;
    }
    if (!endsInBackslash) {
        path += '\\';
    }
    return path;
}

std::string ChooseDataFolder(const DataFolderCandidates& candidates, CharLength length) {
    if (!candidates.configured.empty()) {
        return WithTrailingBackslash(std::string(candidates.configured), length);
    }
    for (std::string_view base : {candidates.localAppData, candidates.temp}) {
        if (!base.empty()) {
            return WithTrailingBackslash(std::string(base), length) + std::string(kDataTail);
        }
    }
    return std::string(kLastResortDataFolder);
}
