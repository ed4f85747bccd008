// The tray application's process-wide state. Which thread may touch what is said in App.h.

#include "app/TrayRules.h"
#include "app/win32/App.h"

HINSTANCE g_hInstance = nullptr;
// Until start-up has resolved it, the fixed last resort; see DataFolder.cpp.
std::string g_dataFolder(kLastResortDataFolder);
HWND g_mainWindow = nullptr;
HWND g_transfersWindow = nullptr;
HMENU g_trayMenu = nullptr;
NOTIFYICONDATAA g_trayIcon = {};
Settings g_settings;
HKEY g_settingsKey = nullptr;
