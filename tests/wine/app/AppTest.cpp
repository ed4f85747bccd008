// orbtray.exe as a user and Explorer meet it, under Wine on an X display of its own: its tray
// icon, its windows and menus, the files instruments send it, the registry it keeps and the
// programs it hands files to. run-app-tests.sh prepares a fresh Wine prefix and the display and
// runs this program, which starts orbtray.exe and orbsim.exe itself.
//
// Wine starts a process in seconds, so one orbtray runs through the first four tests, which
// therefore build on one another in the order written; the rest start their own.

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which they need.
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"

namespace {

// The command identifiers and window classes that other programs can rely on.
constexpr WPARAM kShow = 1100, kShowUsbEvents = 1101, kShowFileTransfers = 1102,
                 kRunOnStartup = 1103, kOpenDataFolder = 1104, kExit = 1105, kClose = 1106,
                 kViewRefresh = 1107;
constexpr char kMainClass[] = "OrbTrayIcon";
constexpr char kTransfersClass[] = "OrbTrayMain";
constexpr UINT kTrayIconId = 1001;
constexpr UINT kTrayCallback = WM_USER + 1;
constexpr int kListId = 1000;
constexpr char kSettingsKey[] = "Software\\Orbalinex\\OrbTray";
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Everything the test makes lives here, in its own Wine prefix.
constexpr char kScratch[] = "C:\\orbtray-test";
// What the program the shell starts for a .csv file or a folder was given, one line each.
constexpr char kOpenedRecord[] = "C:\\orbtray-test\\opened.txt";
constexpr char kRecordOpen[] = "--record-open";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string Orbtray() {
    return Env("ORBTRAY_EXE");
}

std::string LocalAppData() {
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder);
    return folder;
}

std::string DefaultDataFolder() {
    return LocalAppData() + "\\Orbalinex\\Data\\";
}

using Lines = std::vector<std::string>;

// What the shell was given to open since it had been given `before` things.
Lines OpenedSince(size_t before) {
    Lines lines;
    std::ifstream record(kOpenedRecord);
    for (std::string line; std::getline(record, line);) lines.push_back(line);
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(before, lines.size())));
    return lines;
}

// The date and time that the list shows for `time`: the user's formats, in UTC.
std::string UtcText(FILETIME time) {
    SYSTEMTIME utc;
    FileTimeToSystemTime(&time, &utc);
    char date[128] = {}, clock[128] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &utc, nullptr, date, sizeof date);
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &utc, nullptr, clock, sizeof clock);
    return std::string(date) + " " + clock;
}

// The row a stored file should have.
RemoteList::Row RowOf(const std::string& dataFolder, const std::string& serial,
                      const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    GetFileAttributesExA((dataFolder + serial + "\\" + name).c_str(), GetFileExInfoStandard, &info);
    return {UtcText(info.ftLastWriteTime), serial, name,
            std::to_string(info.nFileSizeLow) + " bytes"};
}

// The X11 tray icons that Wine's standalone system tray shows: the only ones on this display.
std::vector<HWND> TrayIcons() {
    std::vector<HWND> icons;
    for (HWND tray : TopLevelWindows("__winex11_standalone_tray")) {
        for (HWND icon = nullptr;
             (icon = FindWindowExA(tray, icon, "__winex11_tray_icon", nullptr)) != nullptr;) {
            if (IsWindowVisible(icon))
                icons.push_back(icon);
        }
    }
    return icons;
}

// Whether the shell holds an icon of `owner` with orbtray's id: changing nothing in it succeeds
// only then.
bool ShellHasIcon(HWND owner) {
    NOTIFYICONDATAA icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = owner;
    icon.uID = kTrayIconId;
    return Shell_NotifyIconA(NIM_MODIFY, &icon) != FALSE;
}

// A click on the one tray icon: the system tray passes it on to the icon's owner.
bool ClickTrayIcon(UINT button) {
    const std::vector<HWND> icons = TrayIcons();
    return icons.size() == 1 && PostMessageA(icons[0], button, 0, MAKELPARAM(8, 8));
}

void PressHotKey() {
    const WORD keys[] = {VK_LWIN, VK_CONTROL, 'T'};
    INPUT input[6] = {};
    for (int i = 0; i < 3; ++i) {
        input[i].type = input[5 - i].type = INPUT_KEYBOARD;
        input[i].ki.wVk = input[5 - i].ki.wVk = keys[i];
        input[5 - i].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    SendInput(6, input, sizeof(INPUT));
}

void PostKey(HWND window, WPARAM key) {
    PostMessageA(window, WM_KEYDOWN, key, 1);
}

struct Settings {
    bool usb, files, run;
};

// The orbtray.exe under test.
struct Running {
    std::unique_ptr<Program> program;
    HWND main = nullptr;
    std::unique_ptr<MenuReader> menus;
};

class OrbTrayApp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CreateDirectoryA(kScratch, nullptr);
        // The shell opens .csv files and folders with this very program, which then only
        // records what it was given. The test's prefix is its own, so the machine-wide classes
        // can be changed; Wine's shell does not look at the user's.
        const RegValue recorder = String(Quoted(SelfPath()) + " " + kRecordOpen + " \"%1\"");
        const auto classes = [](const std::string& key, const RegValue& value) {
            WriteValue("Software\\Classes\\" + key, nullptr, value, HKEY_LOCAL_MACHINE);
        };
        classes(".csv", String("OrbTrayTest.csv"));
        classes("OrbTrayTest.csv\\shell\\open\\command", recorder);
        classes("Folder\\shell\\open\\command", recorder);
    }

    void SetUp() override {
        ASSERT_FALSE(Orbtray().empty() || Env("ORBSIM_EXE").empty() || Env("ORBTRAY_PROBE").empty())
            << "run through tests/wine/run-app-tests.sh";
    }

    static std::string SelfPath() {
        char path[MAX_PATH] = {};
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        return path;
    }

    // Starts orbtray.exe with `arguments` and waits for its main window and its tray icon.
    static void Start(const std::string& arguments) {
        app = std::make_unique<Running>();
        app->program = std::make_unique<Program>(Quoted(Orbtray()) + arguments);
        ASSERT_TRUE(app->program->Started()) << Orbtray();
        ASSERT_TRUE(WaitUntil(
            [] {
                app->main = TheWindow(kMainClass);
                DWORD pid = 0;
                GetWindowThreadProcessId(app->main, &pid);
                return pid == app->program->Id() && TrayIcons().size() == 1;
            },
            30s))
            << "no main window with a tray icon";
        app->menus = std::make_unique<MenuReader>(Env("ORBTRAY_PROBE"),
                                                  GetWindowThreadProcessId(app->main, nullptr));
        ASSERT_TRUE(app->menus->Hooked());
    }

    static void RequireRunning() {
        ASSERT_TRUE(app && app->main) << "needs the orbtray that the tests before left running";
    }

    // The File Transfers window once it is open, or null. It exists a moment before it is shown.
    static HWND Transfers() {
        HWND window = nullptr;
        WaitUntil([&] {
            return (window = TheWindow(kTransfersClass)) != nullptr && IsWindowVisible(window);
        });
        return window;
    }
    static HWND ListOf(HWND window) { return GetDlgItem(window, kListId); }
    static bool TransfersClosed() {
        return WaitUntil([] { return TopLevelWindows(kTransfersClass).empty(); });
    }

    // The marks of both menus, the tray icon's and the File Transfers window's File menu.
    static void ExpectMenus(HWND window, Settings s) {
        const auto mark = [](bool on) { return on ? "C" : ""; };
        const std::vector<MenuItem> tray = {
            {kShow, "D", "Show (Win+Ctrl+T)"},
            {0, "S", ""},
            {kOpenDataFolder, "", "Open Data Folder"},
            {0, "S", ""},
            {kShowFileTransfers, mark(s.files), "Show File Transfers"},
            {kShowUsbEvents, mark(s.usb), "Show USB Event"},
            {kRunOnStartup, mark(s.run), "Run on Startup"},
            {0, "S", ""},
            {kExit, "", "Exit"}};
        const std::vector<MenuItem> file = {
            {kOpenDataFolder, "", "Open &Data Folder"},
            {0, "S", ""},
            {kShowFileTransfers, mark(s.files), "Show File &Transfers"},
            {kShowUsbEvents, mark(s.usb), "Show &USB Events"},
            {kRunOnStartup, mark(s.run), "&Run on Startup"},
            {0, "S", ""},
            {kClose, "", "&Close"}};
        EXPECT_TRUE(ClickTrayIcon(WM_RBUTTONDOWN));
        EXPECT_EQ(app->menus->ReadOpenMenu(app->main), tray);
        PostMessageA(window, WM_SYSCOMMAND, SC_KEYMENU, 'f');
        EXPECT_EQ(app->menus->ReadOpenMenu(app->main), file);
    }

    // orbsim.exe sends `lines` over TCP to 127.0.0.1:9393 as instrument `serial`: they must end up
    // as one file of CRLF lines in `data`, and its row on top of `list`.
    static void Receive(RemoteList& list, const std::string& data, const std::string& serial,
                        const Lines& lines, RemoteList::Row* row) {
        const size_t before = list.Rows().size();
        std::string text, stored;
        for (const std::string& line : lines) {
            text += line + "\n";
            stored += line + "\r\n";
        }
        const std::string input = std::string(kScratch) + "\\" + serial + ".txt";
        WriteBytes(input, text);
        ASSERT_EQ(::Run(Quoted(Env("ORBSIM_EXE")) + " send --tcp 127.0.0.1 --serial " + serial +
                        " " + input),
                  0u)
            << "orbsim could not deliver " << serial;
        // No F5: the window follows the Data folder by itself.
        ASSERT_TRUE(WaitUntil([&] { return list.Rows().size() == before + 1; }))
            << "no row for " << serial;
        const Lines files = Entries(data + serial);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(ReadBytes(data + serial + "\\" + files[0]), stored);
        *row = RowOf(data, serial, files[0]);
        EXPECT_EQ(list.Rows()[0], *row);
    }

    // Exit ends it with code 0 and takes its icon and windows along.
    static void Exit() {
        PostMessageA(app->main, WM_COMMAND, kExit, 0);
        EXPECT_EQ(app->program->Wait(), 0u);
        EXPECT_TRUE(TrayIcons().empty());
        EXPECT_FALSE(ShellHasIcon(app->main));
        EXPECT_TRUE(TopLevelWindows(kMainClass).empty());
        app.reset();
    }

    static std::unique_ptr<Running> app;
};

std::unique_ptr<Running> OrbTrayApp::app;

TEST_F(OrbTrayApp, StartsInTheTrayAndEveryWayOfShowingBringsBackTheOneWindow) {
    ASSERT_EQ(ValueCount(kSettingsKey), -1) << "the prefix is not fresh";
    ASSERT_TRUE(TopLevelWindows(kMainClass).empty());

    ASSERT_NO_FATAL_FAILURE(Start(" auto"));
    EXPECT_EQ(TopLevelWindows(kMainClass).size(), 1u);
    EXPECT_EQ(WindowText(app->main), "Orbalinex Transfer");
    EXPECT_FALSE(IsWindowVisible(app->main));
    EXPECT_TRUE(ShellHasIcon(app->main));
    // A first run makes the settings key and the Data folder, and writes no setting.
    EXPECT_EQ(ValueCount(kSettingsKey), 0);
    EXPECT_NE(GetFileAttributesA(DefaultDataFolder().c_str()), INVALID_FILE_ATTRIBUTES);
    // Started with "auto" it stays in the tray. Its loop is running once it answers a message;
    // a window it were to open would have been asked for before that.
    DWORD_PTR answer = 0;
    ASSERT_TRUE(SendMessageTimeoutA(app->main, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer));
    Sleep(1000);
    EXPECT_TRUE(TopLevelWindows(kTransfersClass).empty());

    // A second start shows the first one's window and ends.
    EXPECT_EQ(::Run(Quoted(Orbtray())), 0u);
    HWND window = Transfers();
    ASSERT_TRUE(window) << "a second start did not open the window";
    EXPECT_EQ(TopLevelWindows(kMainClass).size(), 1u);
    EXPECT_EQ(WindowText(window), "Orbalinex Transfers");
    EXPECT_TRUE(IsWindowVisible(window));
    RECT frame{};
    GetWindowRect(window, &frame);
    const int left = (GetSystemMetrics(SM_CXSCREEN) - 660) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - 400) / 3;
    EXPECT_EQ(std::vector<LONG>({frame.left, frame.top, frame.right, frame.bottom}),
              std::vector<LONG>({left, top, left + 660, top + 400}));
    HWND list = ListOf(window);
    RemoteList rows(list);
    EXPECT_EQ(rows.Headers(),
              (std::vector<std::string>{"Time and Date", "Serial Number", "Filename", "Size"}));

    // Escape in the list closes it, the hot key opens it again.
    PostKey(list, VK_ESCAPE);
    ASSERT_TRUE(TransfersClosed()) << "Escape did not close the window";
    PressHotKey();
    window = Transfers();
    ASSERT_TRUE(window) << "Win+Ctrl+T did not open the window";

    // A minimised window is restored by a click on the tray icon, not made a second time.
    PostMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(window) != FALSE; }));
    ASSERT_TRUE(ClickTrayIcon(WM_LBUTTONDOWN));
    EXPECT_TRUE(WaitUntil([&] { return !IsIconic(window); })) << "the click did not restore it";
    EXPECT_EQ(TopLevelWindows(kTransfersClass), std::vector<HWND>{window});
}

// The notification may come a moment after the row: the list follows the folder, not the
// notification.
TEST_F(OrbTrayApp, ReceivedFilesAppearAtTheTopWithTheirExactBytesAndABalloon) {
    RequireRunning();
    HWND window = Transfers();
    ASSERT_TRUE(window);
    RemoteList list(ListOf(window));
    ASSERT_TRUE(list.Rows().empty());
    const std::string data = DefaultDataFolder();

    RemoteList::Row first, second;
    ASSERT_NO_FATAL_FAILURE(
        Receive(list, data, "SN-A1", {"1.25,2.50", "3.75,5.00", "6.25,7.50"}, &first));
    EXPECT_TRUE(Eventually(ShownBalloons, Lines{"Device SN-A1 sent 3 readings."}, 5s));

    // A newer file goes on top, and the selected file stays selected.
    list.Select({0});
    ASSERT_NO_FATAL_FAILURE(Receive(list, data, "SN-B2", {"9,8,7"}, &second));
    EXPECT_EQ(list.Rows(), (std::vector<RemoteList::Row>{second, first}));
    EXPECT_EQ(list.Selected(), std::vector<int>{1});
    // Its balloon replaces the first one, and a click on it opens the newer file.
    EXPECT_TRUE(Eventually(ShownBalloons, Lines{"Device SN-B2 sent 1 readings."}, 5s));
    PostMessageA(app->main, kTrayCallback, kTrayIconId, NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(Eventually([] { return OpenedSince(0); }, Lines{data + "SN-B2\\" + second[2]}));
    EXPECT_TRUE(Eventually(ShownBalloons, Lines{}));
}

TEST_F(OrbTrayApp, EachSwitchChangesTheRegistryAndTheMarksOfBothMenus) {
    RequireRunning();
    HWND window = Transfers();
    ASSERT_TRUE(window);
    Settings now{false, true, false};
    ExpectMenus(window, now);

    // From the tray menu the command goes to the main window; from the menu bar to the File
    // Transfers window, which passes it on.
    const struct {
        WPARAM command;
        bool fromMenuBar;
    } steps[] = {
        {kShowUsbEvents, false}, {kShowFileTransfers, true}, {kRunOnStartup, false},
        {kRunOnStartup, true},   {kShowUsbEvents, true},     {kShowUsbEvents, false},
        {kRunOnStartup, true},
    };
    const auto stored = [] {
        return std::vector<RegValue>{ReadValue(kSettingsKey, "ShowText"),
                                     ReadValue(kSettingsKey, "ShowFile"),
                                     ReadValue(kSettingsKey, "AutoRun")};
    };
    // A value is written only once its switch has been used.
    std::vector<RegValue> expected(3);
    const RegValue entry = String(Quoted(Orbtray()) + " auto");
    for (const auto& step : steps) {
        SCOPED_TRACE("command " + std::to_string(step.command) +
                     (step.fromMenuBar ? " from the menu bar" : " from the tray menu"));
        const int which = static_cast<int>(step.command - kShowUsbEvents);  // as in `expected`
        bool& setting = which == 0 ? now.usb : which == 1 ? now.files : now.run;
        setting = !setting;
        expected[which] = Dword(setting ? 1 : 0);
        PostMessageA(step.fromMenuBar ? window : app->main, WM_COMMAND, step.command, 0);
        EXPECT_TRUE(Eventually(stored, expected));
        EXPECT_EQ(ReadValue(kRunKey, "OrbTray"), now.run ? entry : RegValue{});
        ExpectMenus(window, now);
    }
    // Left as the restart at the end expects them: every setting away from its default.
    EXPECT_TRUE(now.usb && !now.files && now.run);
}

TEST_F(OrbTrayApp, F5RefreshesAndOpeningHandsTheFileOrFolderToTheShell) {
    RequireRunning();
    HWND window = Transfers();
    ASSERT_TRUE(window);
    HWND listWindow = ListOf(window);
    RemoteList list(listWindow);
    const std::vector<RemoteList::Row> rows = list.Rows();
    ASSERT_EQ(rows.size(), 2u);
    const std::string data = DefaultDataFolder();
    const auto path = [&](int row) { return data + rows[row][1] + "\\" + rows[row][2]; };
    const size_t before = OpenedSince(0).size();
    const auto opened = [&] { return OpenedSince(before); };

    // Nothing changes in the folder, so only F5 rebuilds the list, and a rebuild keeps only the
    // first of several selected rows selected.
    list.Select({0, 1});
    PostKey(listWindow, VK_F5);
    EXPECT_TRUE(Eventually([&] { return list.Selected(); }, std::vector<int>{0})) << "F5";
    // So does View, Refresh.
    list.Select({0, 1});
    PostMessageA(window, WM_COMMAND, kViewRefresh, 0);
    EXPECT_TRUE(Eventually([&] { return list.Selected(); }, std::vector<int>{0})) << "View";

    // Enter opens the topmost selected row, even with the focus on another, and closes the
    // window.
    list.Select({1, 0});
    PostKey(listWindow, VK_RETURN);
    EXPECT_TRUE(Eventually(opened, Lines{path(0)}));
    EXPECT_TRUE(TransfersClosed());

    // A double-click opens the row it selects.
    ASSERT_TRUE(ClickTrayIcon(WM_LBUTTONDOWN));
    window = Transfers();
    ASSERT_TRUE(window) << "a click on the tray icon did not open the window";
    listWindow = ListOf(window);
    RemoteList again(listWindow);
    ASSERT_EQ(again.Rows(), rows);
    again.Select({1});
    const RECT row = again.ItemRect(1);
    PostMessageA(listWindow, WM_LBUTTONDBLCLK, MK_LBUTTON,
                 MAKELPARAM((row.left + row.right) / 2, (row.top + row.bottom) / 2));
    EXPECT_TRUE(Eventually(opened, Lines{path(0), path(1)}));
    EXPECT_TRUE(TransfersClosed());

    // Open Data Folder, with the window closed.
    PostMessageA(app->main, WM_COMMAND, kOpenDataFolder, 0);
    EXPECT_TRUE(Eventually(opened, Lines{path(0), path(1), data}));
}

// Exit ends the orbtray of the tests before with its window closed, and this one with it open.
TEST_F(OrbTrayApp, ARestartKeepsTheSettingsAndTakesTheDataFolderFromTheRegistry) {
    RequireRunning();
    Exit();
    // Another Data folder, named without its trailing backslash, with one file of a known time:
    // 23:30 UTC, which is 20:00 in the half-hour zone the test runs in.
    TIME_ZONE_INFORMATION zone;
    GetTimeZoneInformation(&zone);
    ASSERT_NE(zone.Bias % 60, 0) << "run in a time zone with a half-hour offset (TZ)";
    const std::string data = std::string(kScratch) + "\\data\\";
    CreateDirectoryA(data.c_str(), nullptr);
    CreateDirectoryA((data + "S-HAND").c_str(), nullptr);
    WriteBytes(data + "S-HAND\\hand.csv", std::string(98, '7') + "\r\n");
    const SYSTEMTIME written{2025, 12, 0, 14, 23, 30, 0, 0};
    FILETIME time;
    SystemTimeToFileTime(&written, &time);
    HANDLE file = CreateFileA((data + "S-HAND\\hand.csv").c_str(), FILE_WRITE_ATTRIBUTES, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
    WriteValue(kSettingsKey, "DataFolder", String(data.substr(0, data.size() - 1)));

    ASSERT_NO_FATAL_FAILURE(Start(""));
    HWND window = Transfers();
    ASSERT_TRUE(window);
    RemoteList list(ListOf(window));
    // Only the other folder's file, shown in UTC; the files received before are elsewhere.
    EXPECT_EQ(list.Rows(), (std::vector<RemoteList::Row>{
                               {"12/14/2025 11:30:00 PM", "S-HAND", "hand.csv", "100 bytes"}}));
    ExpectMenus(window, {true, false, true});

    // The receiver stores into that folder too, and the window follows it there.
    RemoteList::Row received;
    ASSERT_NO_FATAL_FAILURE(Receive(list, data, "SN-C3", {"42"}, &received));
    // Show File Transfers is off now: no balloon. Wine's tray shows a balloon two seconds after
    // it was asked to, so a wait shorter than that would prove nothing.
    EXPECT_FALSE(WaitUntil([] { return !ShownBalloons().empty(); }, 4s))
        << ::testing::PrintToString(ShownBalloons());
    const size_t before = OpenedSince(0).size();
    PostMessageA(window, WM_COMMAND, kOpenDataFolder, 0);
    EXPECT_TRUE(Eventually([&] { return OpenedSince(before); }, Lines{data}));
    Exit();
}

// "YYYY-MM-DDTHH:MM:SSZ" now, the form a command is given its file's time in.
std::string UtcNow() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

// "NAME=value" lines, as cmd's "set PREFIX" writes them.
std::map<std::string, std::string> Variables(const std::string& path) {
    std::map<std::string, std::string> variables;
    std::istringstream lines(ReadBytes(path));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            variables[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return variables;
}

// Each row starts an orbtray of its own with the registry's forwarding settings and sends it one
// file. Balloons are off, so any that shows is one shown whatever the settings.
TEST_F(OrbTrayApp, EachFileIsHandedOnToTheFolderAndTheCommandOrWaitsInTheOutbox) {
    ASSERT_TRUE(TopLevelWindows(kMainClass).empty()) << "the orbtray before has not ended";
    const std::string root = std::string(kScratch) + "\\forward\\";
    const std::string data = root + "data\\", target = root + "target", copies = root + "copies\\";
    const std::string script = root + "on-file.cmd", seen = root + "seen.txt";
    for (const std::string& folder : {root, data, target, copies})
        CreateDirectoryA(folder.c_str(), nullptr);
    // Forms that Wine's cmd reads as Windows does: it runs "||" after a copy that succeeded, and
    // takes the blank before a redirection into the name that "set" looks for.
    const Lines commands = {
        "@echo off",
        "mkdir \"" + copies + "%ORBTRAY_FOLDER%\" 2>nul",
        "copy /b /y \"%ORBTRAY_FILE%\" \"" + copies + "%ORBTRAY_FOLDER%\\%ORBTRAY_NAME%\" >nul",
        "if errorlevel 1 exit /b 1",
        "set ORBTRAY_>\"" + seen + "\"",
        "exit /b 0",
    };
    std::string text;
    for (const std::string& command : commands) text += command + "\r\n";
    WriteBytes(script, text);
    WriteValue(kSettingsKey, "DataFolder", String(data));
    WriteValue(kSettingsKey, "ShowText", Dword(0));
    WriteValue(kSettingsKey, "ShowFile", Dword(0));
    const std::string outbox = LocalAppData() + "\\Orbalinex\\Outbox\\";
    const auto jobs = [&] {
        Lines names = Entries(outbox);
        std::erase_if(names, [](const std::string& name) {
            return name.size() < 4 || name.compare(name.size() - 4, 4, ".job") != 0;
        });
        return names;
    };

    const struct {
        const char* serial;
        std::string forwardTo, command;
    } rows[] = {
        {"SN-F1", target, script},
        // A share that is not mounted: the target is down, and the job waits for it.
        {"SN-F2", root + "absent", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.serial);
        const bool reachable = !row.command.empty();
        WriteValue(kSettingsKey, "ForwardTo", String(row.forwardTo));
        WriteValue(kSettingsKey, "OnFileCommand", String(row.command));
        ASSERT_NO_FATAL_FAILURE(Start(""));
        HWND window = Transfers();
        ASSERT_TRUE(window);
        RemoteList list(ListOf(window));
        const std::string before = UtcNow();
        RemoteList::Row received;
        ASSERT_NO_FATAL_FAILURE(Receive(list, data, row.serial, {"1.5,2.5", "3,4.25"}, &received));
        const std::string after = UtcNow();
        const std::string name = received[2], path = data + row.serial + "\\" + name;
        const std::string bytes = ReadBytes(path);

        if (reachable) {
            const auto at = [](const std::string& file) {
                return [file] { return ReadBytes(file); };
            };
            // Wine takes its time to start cmd.exe, the more so on a loaded machine.
            EXPECT_TRUE(Eventually(at(target + "\\" + row.serial + "\\" + name), bytes, 60s));
            EXPECT_TRUE(Eventually(at(copies + row.serial + "\\" + name), bytes, 60s));
            // Both targets confirmed: their jobs end.
            EXPECT_TRUE(Eventually(jobs, Lines{}, 60s));
            // Only orbtray's: the test's own ORBTRAY_ variables reach the command too.
            const std::map<std::string, std::string> all = Variables(seen);
            std::map<std::string, std::string> seenBy;
            for (const char* given :
                 {"ORBTRAY_FILE", "ORBTRAY_SERIAL", "ORBTRAY_FOLDER", "ORBTRAY_NAME",
                  "ORBTRAY_SIZE", "ORBTRAY_SHA256", "ORBTRAY_RECEIVED"}) {
                if (all.contains(given))
                    seenBy[given] = all.at(given);
            }
            const std::string digest = seenBy["ORBTRAY_SHA256"], time = seenBy["ORBTRAY_RECEIVED"];
            EXPECT_TRUE(std::regex_match(digest, std::regex("[0-9a-f]{64}"))) << digest;
            EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")) &&
                        before <= time && time <= after)
                << time << " not within " << before << " - " << after;
            seenBy.erase("ORBTRAY_SHA256");
            seenBy.erase("ORBTRAY_RECEIVED");
            EXPECT_EQ(seenBy, (std::map<std::string, std::string>{
                                  {"ORBTRAY_FILE", path},
                                  {"ORBTRAY_FOLDER", row.serial},
                                  {"ORBTRAY_NAME", name},
                                  {"ORBTRAY_SERIAL", row.serial},
                                  {"ORBTRAY_SIZE", std::to_string(bytes.size())}}));
        } else {
            EXPECT_TRUE(Eventually(ShownBalloons, Lines{"Forwarding to " + row.forwardTo +
                                                        " failed: the folder does not exist"}));
            PostMessageA(app->main, kTrayCallback, kTrayIconId, NIN_BALLOONUSERCLICK);
            EXPECT_TRUE(Eventually(ShownBalloons, Lines{}));
            // Once the target has been asked again, no second balloon follows: Wine shows one
            // two seconds after it was asked for.
            const auto attempts = [&] {
                const Lines waiting = jobs();
                const std::string job = waiting.size() == 1 ? ReadBytes(outbox + waiting[0]) : "";
                const size_t at = job.find("\nattempts=");
                return at == std::string::npos ? 0 : std::atoi(job.c_str() + at + 10);
            };
            EXPECT_TRUE(WaitUntil([&] { return attempts() >= 2; }, 30s)) << attempts();
            EXPECT_FALSE(WaitUntil([] { return !ShownBalloons().empty(); }, 4s))
                << ::testing::PrintToString(ShownBalloons());
            EXPECT_EQ(jobs().size(), 1u);
        }
        Exit();
    }
}

// A message box of orbtray's: its caption and its text, found among the process's windows.
struct Box {
    HWND window = nullptr;
    std::string caption, text;
};
Box MessageBoxOf(DWORD process) {
    Box box;
    WaitUntil([&] { return (box.window = ShownWindowOf("#32770", process)) != nullptr; });
    box.caption = WindowText(box.window);
    // The message is the box's static control that holds text (the icon's holds none).
    for (HWND child = nullptr; (child = FindWindowExA(box.window, child, "Static", nullptr));) {
        if (!WindowText(child).empty())
            box.text = WindowText(child);
    }
    return box;
}

// Every other test starts on a PC that has the driver (run-app-tests.sh registers it); without
// it, or with its INF file gone, start-up asks first. The stand-in package of a development build
// cannot be installed, so going ahead ends in the failure message.
TEST_F(OrbTrayApp, WithoutTheUsbDriverStartUpOffersToInstallItAndEndsWithCodeOneOnCancelOrFailure) {
    ASSERT_TRUE(TopLevelWindows(kMainClass).empty()) << "the orbtray before has not ended";
    constexpr char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\silabser";
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    const std::string inf = std::string(windows) + "\\inf\\oem7.inf";
    const std::string kept = std::string(kScratch) + "\\oem7.inf";
    ASSERT_TRUE(MoveFileA(inf.c_str(), kept.c_str())) << "no fake driver INF file in the prefix";
    const std::string offer =
        "The required USB driver is not installed on this PC.\n\nThe driver will now be installed.";
    const struct {
        const char* what;
        bool removeService;
        std::vector<std::pair<std::string, int>> boxes;  // their texts, and the button clicked
    } cases[] = {
        {"INF file gone, Cancel", false, {{offer, IDCANCEL}}},
        {"no service, OK", true, {{offer, IDOK}, {"The driver installation failed.", IDOK}}},
    };
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.removeService) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, kServiceKey);
        }
        Program orbtray(Quoted(Orbtray()));
        ASSERT_TRUE(orbtray.Started());
        for (const auto& [text, answer] : c.boxes) {
            const Box box = MessageBoxOf(orbtray.Id());
            ASSERT_TRUE(box.window) << "no message box: " << text;
            EXPECT_EQ(box.caption, "Orbalinex Transfer");
            EXPECT_EQ(box.text, text);
            // Only the offer can be cancelled.
            EXPECT_TRUE(GetDlgItem(box.window, IDOK));
            EXPECT_EQ(GetDlgItem(box.window, IDCANCEL) != nullptr, text == offer);
            SendMessageA(GetDlgItem(box.window, answer), BM_CLICK, 0, 0);
            ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box.window); }));
        }
        EXPECT_EQ(orbtray.Wait(), 1u);
        EXPECT_TRUE(TopLevelWindows(kMainClass).empty());
        EXPECT_TRUE(TrayIcons().empty());
        Lines scratch = Entries(temp);
        std::erase_if(scratch, [](const std::string& name) { return name.rfind("ORB", 0) != 0; });
        EXPECT_EQ(scratch, Lines{});
    }
    MoveFileA(kept.c_str(), inf.c_str());
}

}  // namespace

// The shell starts this program to open a file or a folder (see SetUpTestSuite): it then only
// records what it was given.
int main(int argc, char** argv) {
    const std::string line = GetCommandLineA();
    const size_t flag = line.find(std::string(" ") + kRecordOpen + " ");
    if (argc > 1 && std::string(argv[1]) == kRecordOpen && flag != std::string::npos) {
        std::string opened = line.substr(flag + std::string(kRecordOpen).size() + 2);
        // The whole path as the shell passed it; a folder's trailing backslash would fool the
        // usual splitting of arguments at its closing quote.
        if (opened.size() >= 2 && opened.front() == '"' && opened.back() == '"') {
            opened = opened.substr(1, opened.size() - 2);
        }
        std::ofstream(kOpenedRecord, std::ios::app) << opened << '\n';
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
