#pragma once

// The tray application's process-wide state and the entry points its parts call in one another.
// Everything here belongs to the main thread, except g_hInstance, g_dataFolder and g_mainWindow:
// those are set before the receiver's first thread starts and only read afterwards, so workers
// read them without a lock.

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/TrayRules.h"
#include "app/win32/Commands.h"
#include "datafolder/Scan.h"
#include "link/ReceiverEvents.h"

// A notification as the main window takes it. Everything it points to belongs to the sender and
// lives only while the notification is being delivered: the window copies what it keeps.
struct UiNotice {
    const char* title;
    const char* text;
    const char* path;  // the received file, or "" when the notice names no file
    bool alwaysShown;  // whatever the user chose for balloons
};

// The tray icon's callback message.
inline constexpr UINT WM_TRAYICON = WM_USER + 1;
// The hot key Win+Ctrl+T, registered for the main window.
inline constexpr int kHotKeyId = 1;

extern HINSTANCE g_hInstance;
extern std::string g_dataFolder;  // full path, always ending in a backslash
extern HWND g_mainWindow;         // hidden, class "OrbTrayIcon"; owns the tray icon
extern HWND g_transfersWindow;    // the File Transfers window, null while closed
extern HWND g_transfersList;      // its list control
extern HMENU g_trayMenu;
extern NOTIFYICONDATAA g_trayIcon;             // the one record every Shell_NotifyIconA call uses
extern std::vector<FileRecord> g_fileRecords;  // row i of the list shows record i

// The user's settings: on when not 0. Loaded once at start-up, changed only by the switch
// commands, which store 0 or 1.
struct Settings {
    DWORD ShowText = 0;  // balloons for instruments connecting and disconnecting
    DWORD ShowFile = 1;  // balloons for received files
    DWORD AutoRun = 0;   // the user asked for the start-with-Windows entry
};
extern Settings g_settings;
extern HKEY g_settingsKey;

// Settings.cpp
void LoadSettings();  // opens (creating) the settings key and reads the three values
void SaveSetting(const char* name, DWORD value);
std::string ReadSettingText(const char* name);  // a REG_SZ under the settings key, "" if none
DWORD ReadSettingNumber(const char* name, DWORD fallback);  // a REG_DWORD under the settings key
RunEntryRefusal WriteRunEntry();                // None once written (or the Run key is missing)
void DeleteRunEntry();
void CloseSettings();

// MainWindow.cpp
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void BuildTrayMenu();
void ShowTransfersWindow();  // the show command: create the window, or restore the open one

// NoticeSink.cpp: the receiver's notifications reach the main window only through this consumer
// of its events, on the event queue's thread. Once closed, it lets every notification go.
ReceiverEvents& MainWindowEvents();
void CloseMainWindowEvents();
// The notice a WM_COMMAND ID_NOTIFY carries, or null when its lParam is not one that is being
// delivered right now (anyone can post ID_NOTIFY to a top-level window).
const UiNotice* NoticeBeingDelivered(LPARAM lParam);

// DataFolder.cpp: the Data folder, from the user's "DataFolder" setting or the system's folders.
std::string ResolveDataFolder();
// Where the hand-off keeps its jobs: %LOCALAPPDATA%\Orbalinex\Outbox\; "" when the shell
// cannot tell.
std::string ResolveOutboxFolder();

// AnsiPath.cpp
// A UTF-16 path in the ANSI code page, by its short form if the long one has characters the code
// page lacks; "" when neither can be written in it.
std::string AnsiPath(const wchar_t* path);
// Bytes of the ANSI character that begins with `first`.
std::size_t AnsiCharLength(unsigned char first);

// Balloons.cpp: the main window's side of a worker's notification.
void OnNotify(const UiNotice& notice);
void OnBalloonClick();
void ClearBalloon();

// FolderWatch.cpp: one overlapped directory-change read on the Data folder, always pending.
void StartFolderWatch(const std::string& folder);
HANDLE FolderWatchEvent();  // null once the watch has ended
void OnFolderWatchSignalled();
void StopFolderWatch();

// TransfersWindow.cpp
LRESULT CALLBACK TransfersWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void RefreshTransfersList();
void OpenSelectedFile(HWND window);
