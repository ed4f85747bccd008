#include "app/TrayRules.h"

namespace {

constexpr std::string_view kDataTail = "Orbalinex\\Data\\";

}  // namespace

std::uint32_t DecodeSetting(std::uint32_t type, std::size_t size, const unsigned char* bytes,
                            std::uint32_t fallback) {
    if (type != kRegistryDword || size > 4) {
        return fallback;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value |= std::uint32_t(bytes[i]) << (8 * i);
    }
    return value;
}

std::optional<std::string> RunEntryText(std::string_view exePath) {
    std::string text;
    text.reserve(exePath.size() + 8);
    text += '"';
    text += exePath;
    text += "\" auto";
    if (text.size() + 1 > kRunEntryRoom) {
        return std::nullopt;
    }
    return text;
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
