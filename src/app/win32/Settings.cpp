#include <cstring>
#include <optional>

#include "app/TrayRules.h"
#include "app/win32/App.h"

namespace {

constexpr char kSettingsSubkey[] = "Software\\Orbalinex\\OrbTray";
constexpr char kRunSubkey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunValue[] = "OrbTray";

DWORD ReadSetting(const char* name, DWORD fallback) {
    unsigned char bytes[4] = {};
    DWORD size = sizeof bytes;
    // The type is not asked for: up to 4 bytes of any type are taken. A longer value gives
    // ERROR_MORE_DATA: missing, like any unreadable one.
    if (g_settingsKey == nullptr ||
        RegQueryValueExA(g_settingsKey, name, nullptr, nullptr, bytes, &size) != ERROR_SUCCESS) {
        return fallback;
    }
    return DecodeSetting(size, bytes, fallback);
}

// The start-with-Windows entry for the running program.
RunEntry RunEntryForThisProgram() {
    // Room for the longest path Windows hands out, so that a long one is refused, never cut.
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetModuleFileNameW(g_hInstance, path.data(), static_cast<DWORD>(path.size()));
    // A path that does not come back whole (or at all) is beyond every limit Windows sets.
    if (length == 0 || length >= path.size()) {
        return {"", RunEntryRefusal::PathTooLong};
    }
    path.resize(length);
    // AnsiPath gives "" only for a path that neither its long nor its short form can name in
    // the code page.
    const std::string ansi = AnsiPath(path.c_str());
    return MakeRunEntry(ansi.empty() ? std::nullopt : std::optional<std::string_view>(ansi));
}

}  // namespace

void LoadSettings() {
    if (RegCreateKeyA(HKEY_CURRENT_USER, kSettingsSubkey, &g_settingsKey) != ERROR_SUCCESS) {
        g_settingsKey = nullptr;
    }
    g_settings = Settings{};
    g_settings.ShowText = ReadSetting("ShowText", g_settings.ShowText);
    g_settings.ShowFile = ReadSetting("ShowFile", g_settings.ShowFile);
    g_settings.AutoRun = ReadSetting("AutoRun", g_settings.AutoRun);
}

DWORD ReadSettingNumber(const char* name, DWORD fallback) {
    return ReadSetting(name, fallback);
}

void SaveSetting(const char* name, DWORD value) {
    if (g_settingsKey != nullptr) {
        RegSetValueExA(g_settingsKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    }
}

std::string ReadSettingText(const char* name) {
    // Read by name rather than through g_settingsKey: the Data folder is needed before the key
    // is opened, and nothing here may create it.
    DWORD size = 0;
    if (RegGetValueA(HKEY_CURRENT_USER, kSettingsSubkey, name, RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS ||
        size == 0) {
        return "";
    }
    std::string text(size, '\0');
    if (RegGetValueA(HKEY_CURRENT_USER, kSettingsSubkey, name, RRF_RT_REG_SZ, nullptr, text.data(),
                     &size) != ERROR_SUCCESS) {
        return "";
    }
    text.resize(std::strlen(text.c_str()));
    return text;
}

RunEntryRefusal WriteRunEntry() {
    const RunEntry entry = RunEntryForThisProgram();
    if (entry.refusal != RunEntryRefusal::None) {
        return entry.refusal;
    }
    HKEY run = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunSubkey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        // A REG_SZ is stored with its terminating zero, so every reader finds the text's end.
        RegSetValueExA(run, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.text.c_str()),
                       static_cast<DWORD>(entry.text.size() + 1));
        RegCloseKey(run);
    }
    return RunEntryRefusal::None;
}

void DeleteRunEntry() {
    HKEY run = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunSubkey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        RegDeleteValueA(run, kRunValue);
        RegCloseKey(run);
    }
}

void CloseSettings() {
    if (g_settingsKey != nullptr) {
        RegCloseKey(g_settingsKey);
        g_settingsKey = nullptr;
    }
}
