#include "app/win32/App.h"

// After App.h: it needs <windows.h> first.
#include <shlobj.h>

#include "app/TrayRules.h"

namespace {

std::string LocalAppDataFolder() {
    PWSTR known = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) {
        folder = AnsiPath(known);
    }
    // The shell's string is released whatever the call reported.
    CoTaskMemFree(known);
    return folder;
}

std::string TempFolder() {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, path);
    return length > 0 && length <= MAX_PATH ? AnsiPath(path) : std::string();
}

}  // namespace

std::string ResolveDataFolder() {
    const std::string configured = ReadSettingText("DataFolder");
    if (!configured.empty()) {
        return ChooseDataFolder({configured, "", ""}, AnsiCharLength);
    }
    const std::string local = LocalAppDataFolder();
    // The temporary folder is only asked for when the shell has failed.
    const std::string temp = local.empty() ? TempFolder() : std::string();
    return ChooseDataFolder({"", local, temp}, AnsiCharLength);
}

std::string ResolveOutboxFolder() {
    const std::string local = LocalAppDataFolder();
    // The shell's path has no separator at its end.
    return local.empty() ? std::string() : local + "\\Orbalinex\\Outbox\\";
}
