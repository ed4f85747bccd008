#pragma once

// The tray application's decisions that need no window system: how a stored setting reads back,
// the start-with-Windows entry, how balloon texts are cut, the silent-start word and where the
// Data folder is. Kept free of OS headers so that every platform's unit tests check them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What a setting holds after a read that found `size` bytes (the first min(size, 4) of them in
// `bytes`), whatever their registry type: up to 4 bytes are a little-endian number, a shorter
// one widened with zero bytes. A longer value cannot be one of ours and reads as missing, so
// `fallback`; the next save writes a proper REG_DWORD.
std::uint32_t DecodeSetting(std::size_t size, const unsigned char* bytes, std::uint32_t fallback);

// The entry is built in room for this many bytes, its terminating zero included.
inline constexpr std::size_t kRunEntryRoom = 260;

// Why no start-with-Windows entry can be written for the program where it is.
enum class RunEntryRefusal {
    None,
    PathTooLong,        // the entry would not fit its room
    PathNotInCodePage,  // the path has characters the ANSI code page lacks, short form included
};
struct RunEntry {
    std::string text;  // "\"<path>\" auto"; empty when refused
    RunEntryRefusal refusal = RunEntryRefusal::None;
};
// The entry for the program at `ansiPath`, the path in the ANSI code page, or nullopt when it
// cannot be written in it. Never a cut or altered path: the entry would start something else.
RunEntry MakeRunEntry(std::optional<std::string_view> ansiPath);
// What the user is told when the entry is refused, or "" for None.
const char* RunEntryRefusalMessage(RunEntryRefusal refusal);

// Whether the command line asks for the silent start in the tray: exactly "auto", nothing else.
bool IsSilentStart(const char* commandLine);

// Number of bytes of the character that begins with `first`, in the ANSI code page in use.
using CharLength = std::size_t (*)(unsigned char first);
// The single-byte code pages: every byte is a character.
std::size_t SingleByteLength(unsigned char first);
// UTF-8, which a system can use as its ANSI code page.
std::size_t Utf8Length(unsigned char first);

// `text` cut to fit a field of `fieldSize` bytes with its terminating zero, at a character
// boundary: a multi-byte character that does not fit is left out whole.
std::string CutToField(std::string_view text, std::size_t fieldSize, CharLength length);

// `path` ending in a backslash. The last byte alone does not tell: in a double-byte code page a
// backslash byte can be the second half of a character.
std::string WithTrailingBackslash(std::string path, CharLength length);

// The Data folder from what the system offers, best first; an empty candidate is one the system
// could not give. A configured folder is taken as it is; the others get "Orbalinex\Data\" below
// them. Always ends in a backslash.
struct DataFolderCandidates {
    std::string_view configured;    // the user's "DataFolder" setting
    std::string_view localAppData;  // the known folder
    std::string_view temp;          // the user's temporary folder
};
inline constexpr std::string_view kLastResortDataFolder = "C:\\Temp\\Orbalinex\\Data\\";
std::string ChooseDataFolder(const DataFolderCandidates& candidates, CharLength length);
