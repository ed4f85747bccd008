#include "app/TrayRules.h"
#include "app/win32/App.h"

namespace {

// The ANSI text of a UTF-16 path, or "" when a character has no exact ANSI form: a best-fit
// substitute or a question mark would name another file.
std::string ExactAnsi(const wchar_t* path) {
    const bool utf8 = GetACP() == CP_UTF8;
    // UTF-8 takes neither the best-fit flag nor the default-character report.
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL substituted = FALSE;
    BOOL* report = utf8 ? nullptr : &substituted;
    const int size = WideCharToMultiByte(CP_ACP, flags, path, -1, nullptr, 0, nullptr, report);
    if (size <= 0 || substituted) {
        return "";
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, flags, path, -1, text.data(), size, nullptr, report) != size ||
        substituted) {
        return "";
    }
    text.resize(static_cast<std::size_t>(size) - 1);
    return text;
}

}  // namespace

std::string AnsiPath(const wchar_t* path) {
    std::string text = ExactAnsi(path);
    if (!text.empty() || path[0] == L'\0') {
        return text;
    }
    // The 8.3 names are plain ASCII where the volume keeps them.
    const DWORD room = GetShortPathNameW(path, nullptr, 0);
    if (room == 0) {
        return "";
    }
    std::wstring shortPath(room, L'\0');
    const DWORD length = GetShortPathNameW(path, shortPath.data(), room);
    if (length == 0 || length >= room) {
        return "";
    }
    shortPath.resize(length);
    return ExactAnsi(shortPath.c_str());
}

std::size_t AnsiCharLength(unsigned char first) {
    static const UINT codePage = GetACP();
    if (codePage == CP_UTF8) {
        return Utf8Length(first);
    }
    return IsDBCSLeadByte(first) ? 2 : 1;
}
