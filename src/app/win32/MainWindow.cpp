// The hidden main window: it owns the tray icon, the tray menu and the hot key, and carries out
// the commands of the tray menu and of the File Transfers window's menu bar. Main thread only.

#include "app/win32/App.h"

// The full x86-64 record, with the balloon icon: the shell reads as much as cbSize says.
static_assert(sizeof(NOTIFYICONDATAA) == 528);

namespace {

constexpr UINT kTrayIconId = 1001;
constexpr char kCaption[] = "Orbalinex Transfer";

// Sent to every top-level window when Explorer (re)creates the taskbar; the icon has to be added
// again or it is gone until the next start. Zero until registered, and 0 is WM_NULL.
UINT g_taskbarCreated = 0;

void AddTrayIcon() {
    Shell_NotifyIconA(NIM_ADD, &g_trayIcon);
}

void OnCreate(HWND window) {
    g_trayIcon = {};
    g_trayIcon.cbSize = sizeof g_trayIcon;
    g_trayIcon.hWnd = window;
    g_trayIcon.uID = kTrayIconId;
    g_trayIcon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    g_trayIcon.uCallbackMessage = WM_TRAYICON;
    g_trayIcon.hIcon = LoadIconA(g_hInstance, "OrbTray");
    lstrcpynA(g_trayIcon.szTip, "Orbalinex Transfer.", sizeof g_trayIcon.szTip);
    g_trayIcon.hBalloonIcon = LoadIconA(g_hInstance, "OrbTray");
    AddTrayIcon();

    g_taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    // An elevated instance would not otherwise hear from the user's Explorer.
    if (g_taskbarCreated != 0) {
        ChangeWindowMessageFilterEx(window, g_taskbarCreated, MSGFLT_ALLOW, nullptr);
    }
}

void OnTaskbarCreated() {
    // A balloon from before the restart is stale; the new taskbar should not show it again.
    g_trayIcon.szInfo[0] = '\0';
    g_trayIcon.szInfoTitle[0] = '\0';
    AddTrayIcon();
}

void ShowTrayMenu(HWND window) {
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    TrackPopupMenu(g_trayMenu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr);
    // Without a message after the menu, it would not close when the user clicks elsewhere.
    PostMessageA(window, WM_NULL, 0, 0);
}

void SetCheck(UINT command, DWORD setting) {
    CheckMenuItem(g_trayMenu, command, MF_BYCOMMAND | (setting != 0 ? MF_CHECKED : MF_UNCHECKED));
}

void Toggle(DWORD& setting, UINT command, const char* name) {
    setting = setting == 0 ? 1 : 0;
    SetCheck(command, setting);
    SaveSetting(name, setting);
}

void ToggleRunOnStartup() {
    g_settings.AutoRun = g_settings.AutoRun == 0 ? 1 : 0;
    RunEntryRefusal refusal = RunEntryRefusal::None;
    if (g_settings.AutoRun != 0) {
        // An entry with a cut or altered path would start some other file at logon: write none.
        refusal = WriteRunEntry();
        if (refusal != RunEntryRefusal::None) {
            g_settings.AutoRun = 0;
        }
    } else {
        DeleteRunEntry();
    }
    SetCheck(ID_RUN_ON_STARTUP, g_settings.AutoRun);
    SaveSetting("AutoRun", g_settings.AutoRun);
    if (refusal != RunEntryRefusal::None) {
        MessageBoxA(nullptr, RunEntryRefusalMessage(refusal), kCaption, MB_OK | MB_ICONWARNING);
    }
}

void Exit(HWND window) {
    Shell_NotifyIconA(NIM_DELETE, &g_trayIcon);
    DestroyMenu(g_trayMenu);
    g_trayMenu = nullptr;
    DestroyWindow(window);
}

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
        case ID_NOTIFY:
            if (const UiNotice* notice = NoticeBeingDelivered(lParam)) {
                OnNotify(*notice);
            }
            break;
        case ID_SHOW:
            ShowTransfersWindow();
            break;
        case ID_SHOW_USB_EVENTS:
            Toggle(g_settings.ShowText, ID_SHOW_USB_EVENTS, "ShowText");
            break;
        case ID_SHOW_FILE_TRANSFERS:
            Toggle(g_settings.ShowFile, ID_SHOW_FILE_TRANSFERS, "ShowFile");
            break;
        case ID_RUN_ON_STARTUP:
            ToggleRunOnStartup();
            break;
        case ID_OPEN_DATA_FOLDER:
            ShellExecuteA(nullptr, "open", g_dataFolder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            break;
        case ID_EXIT:
            Exit(window);
            break;
        default:
            break;
    }
}

void OnTrayIcon(HWND window, LPARAM lParam) {
    switch (lParam) {
        case WM_RBUTTONDOWN:
            ShowTrayMenu(window);
            break;
        case WM_LBUTTONDOWN:
            ShowTransfersWindow();
            break;
        case NIN_BALLOONUSERCLICK:
            OnBalloonClick();
            break;
        case NIN_BALLOONTIMEOUT:
            ClearBalloon();
            break;
        default:
            break;
    }
}

}  // namespace

void BuildTrayMenu() {
    g_trayMenu = CreatePopupMenu();
    AppendMenuA(g_trayMenu, MF_STRING, ID_SHOW, "Show (Win+Ctrl+T)");
    AppendMenuA(g_trayMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(g_trayMenu, MF_STRING, ID_OPEN_DATA_FOLDER, "Open Data Folder");
    AppendMenuA(g_trayMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(g_trayMenu, MF_STRING, ID_SHOW_FILE_TRANSFERS, "Show File Transfers");
    AppendMenuA(g_trayMenu, MF_STRING, ID_SHOW_USB_EVENTS, "Show USB Event");
    AppendMenuA(g_trayMenu, MF_STRING, ID_RUN_ON_STARTUP, "Run on Startup");
    AppendMenuA(g_trayMenu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(g_trayMenu, MF_STRING, ID_EXIT, "Exit");
    SetMenuDefaultItem(g_trayMenu, ID_SHOW, FALSE);
    SetCheck(ID_SHOW_FILE_TRANSFERS, g_settings.ShowFile);
    SetCheck(ID_SHOW_USB_EVENTS, g_settings.ShowText);
    SetCheck(ID_RUN_ON_STARTUP, g_settings.AutoRun);
}

void ShowTransfersWindow() {
    if (g_transfersWindow != nullptr) {
        ShowWindow(g_transfersWindow, SW_RESTORE);
        return;
    }
    constexpr int kWidth = 660;
    constexpr int kHeight = 400;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 3;
    g_transfersWindow = CreateWindowExA(0, "OrbTrayMain", "Orbalinex Transfers",
                                        WS_CLIPCHILDREN | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                        left, top, kWidth, kHeight, nullptr,
                                        LoadMenuA(g_hInstance, "OrbMenu"), g_hInstance, nullptr);
    if (g_transfersWindow != nullptr) {
        ShowWindow(g_transfersWindow, SW_SHOW);
        SetForegroundWindow(g_transfersWindow);
        UpdateWindow(g_transfersWindow);
    }
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            OnCreate(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_COMMAND:
            OnCommand(window, wParam, lParam);
            return 0;
        case WM_HOTKEY:
            if (wParam == kHotKeyId) {
                SendMessageA(window, WM_COMMAND, ID_SHOW, 0);
            }
            return 0;
        case WM_TRAYICON:
            OnTrayIcon(window, lParam);
            return 0;
        default:
            if (message == g_taskbarCreated && g_taskbarCreated != 0) {
                OnTaskbarCreated();
                return 0;
            }
            return DefWindowProcA(window, message, wParam, lParam);
    }
}
