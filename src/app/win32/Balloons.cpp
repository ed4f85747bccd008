// The main window's side of a worker's notification. Main thread only: the worker waits in its
// send until the handler has returned, so the notice's texts are read directly.

#include <cstring>

#include "app/TrayRules.h"
#include "app/win32/App.h"

namespace {

// The file of the most recent notification, "" when it named none: what a balloon click opens.
std::string g_lastFile;

template <std::size_t N>
void CopyToField(char (&field)[N], const char* text) {
    const std::string cut = CutToField(text != nullptr ? text : "", N, AnsiCharLength);
    std::memcpy(field, cut.c_str(), cut.size() + 1);
}

}  // namespace

void OnNotify(const UiNotice& notice) {
    g_lastFile = notice.path != nullptr ? notice.path : "";
    const DWORD shown = notice.alwaysShown       ? 1
                        : g_lastFile.empty() ? g_settings.ShowText
                                             : g_settings.ShowFile;
    if (shown == 0) {
        return;
    }
    CopyToField(g_trayIcon.szInfoTitle, notice.title);
    CopyToField(g_trayIcon.szInfo, notice.text);
    Shell_NotifyIconA(NIM_MODIFY, &g_trayIcon);
}

void OnBalloonClick() {
    if (!g_lastFile.empty()) {
        ShellExecuteA(nullptr, "open", g_lastFile.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    } else {
        ShowTransfersWindow();
    }
    ClearBalloon();
}

void ClearBalloon() {
    g_trayIcon.szInfo[0] = '\0';
    g_trayIcon.szInfoTitle[0] = '\0';
    Shell_NotifyIconA(NIM_MODIFY, &g_trayIcon);
}
