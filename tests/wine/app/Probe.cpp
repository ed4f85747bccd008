// A WH_CALLWNDPROC hook that the test places on orbtray's main thread. Windows loads this DLL into
// orbtray.exe for it, so the hook runs where the menus live. It changes nothing in orbtray and
// answers only the test's own registered message.

#include "Probe.h"

#include <windows.h>

#include <string>

namespace {

struct Found {
    HWND menu = nullptr;
};

// The menu window of the pop-up that the user sees: a visible "#32768" window of this thread.
BOOL CALLBACK FindOpenMenu(HWND window, LPARAM into) {
    char name[16] = {};
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) == "#32768" && IsWindowVisible(window) &&
        GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
        reinterpret_cast<Found*>(into)->menu = window;
        return FALSE;
    }
    return TRUE;
}

std::string Describe(HMENU menu) {
    std::string report;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        MENUITEMINFOA item{};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = sizeof text - 1;
        if (!GetMenuItemInfoA(menu, i, TRUE, &item)) {
            report += "?\n";
            continue;
        }
        std::string state;
        if (item.fState & MFS_CHECKED)
            state += 'C';
        if (item.fState & MFS_DEFAULT)
            state += 'D';
        if (item.fType & MFT_SEPARATOR)
            state += 'S';
        report += std::to_string(item.wID) + '\t' + state + '\t' + text + '\n';
    }
    return report;
}

void Report(const std::string& text) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, kProbeReport);
    if (!mapping)
        return;
    if (void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kProbeReportSize)) {
        const std::string cut = text.substr(0, kProbeReportSize - 1);
        CopyMemory(view, cut.c_str(), cut.size() + 1);
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    static const UINT probe = RegisterWindowMessageA(kProbeMessage);
    const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == probe) {
        Found found;
        EnumWindows(FindOpenMenu, reinterpret_cast<LPARAM>(&found));
        HMENU menu = found.menu
                         ? reinterpret_cast<HMENU>(SendMessageA(found.menu, MN_GETHMENU, 0, 0))
                         : nullptr;
        Report(menu ? Describe(menu) : "no menu");
        if (menu)
            EndMenu();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
