// The File Transfers window: one report-style list of every received file, newest first, from
// which the user opens a file, refreshes the list or changes the settings. Main thread only, like
// every window; the records behind the rows are rebuilt here and nowhere else.

#include "app/win32/App.h"

// After App.h: the list-view declarations need <windows.h> first.
#include <commctrl.h>

#include <iterator>
#include <string>
#include <vector>

#include "datafolder/RowText.h"
#include "datafolder/Store.h"
#include "platform/Clock.h"

// The window owns its list control and the records behind its rows.
HWND g_transfersList = nullptr;
std::vector<FileRecord> g_fileRecords;

namespace {

constexpr int kListId = 1000;
constexpr int kListMargin = 8;
constexpr std::size_t kTimeTextSize = 256;

struct Column {
    const char* header;
    int width;
};
constexpr Column kColumns[] = {
    {"Time and Date", 150},
    {"Serial Number", 150},
    {"Filename", 150},
    {"Size", 100},
};

HWND CreateTransfersList(HWND window) {
    RECT area;
    GetClientRect(window, &area);
    InflateRect(&area, -kListMargin, -kListMargin);
    // No LVS_SINGLESEL: several rows may be selected, and the topmost of them is the one opened.
    const HWND list = CreateWindowExA(
        0, WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSCROLL, area.left, area.top,
        area.right - area.left, area.bottom - area.top, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), g_hInstance, nullptr);
    if (list == nullptr) {
        return nullptr;
    }
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
    for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
        LVCOLUMNA column{};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.cx = kColumns[i].width;
        column.pszText = const_cast<char*>(kColumns[i].header);
        column.iSubItem = i;
        SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(&column));
    }
    return list;
}

int FirstSelectedRow() {
    return static_cast<int>(SendMessageA(g_transfersList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                         MAKELPARAM(LVNI_SELECTED, 0)));
}

// A row index read from the control is only trusted once it is known to name a record.
const FileRecord* RecordAtRow(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= g_fileRecords.size()) {
        return nullptr;
    }
    return &g_fileRecords[static_cast<std::size_t>(row)];
}

// The last-write time in UTC, as the instrument's clock and the file names count it, written in
// the user's own date and time formats. A time the system cannot format leaves the text empty
// rather than showing half of it.
void FormatTimeText(std::uint64_t lastWrite, char (&text)[kTimeTextSize]) {
    text[0] = '\0';
    const std::int64_t seconds = platform::UtcSecondsOfFileTime(lastWrite);
    if (seconds > platform::kLastCalendarSecond) {
        return;
    }
    // The same calendar as the file names and `orbtray list`; the formats only are the user's.
    const platform::CalendarTime t = platform::UtcCalendar(seconds);
    SYSTEMTIME calendar{};
    calendar.wYear = static_cast<WORD>(t.year);
    calendar.wMonth = static_cast<WORD>(t.month);
    calendar.wDay = static_cast<WORD>(t.day);
    calendar.wHour = static_cast<WORD>(t.hour);
    calendar.wMinute = static_cast<WORD>(t.minute);
    calendar.wSecond = static_cast<WORD>(t.second);
    const int dateSize = GetDateFormatA(LOCALE_USER_DEFAULT, 0, &calendar, nullptr, text,
                                        static_cast<int>(kTimeTextSize));
    if (dateSize <= 0) {
        text[0] = '\0';
        return;
    }
    // dateSize counts the terminating zero, which becomes the blank before the time.
    text[dateSize - 1] = ' ';
    if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &calendar, nullptr, text + dateSize,
                       static_cast<int>(kTimeTextSize) - dateSize) <= 0) {
        text[0] = '\0';
    }
}

void SetSubItemText(int row, int subItem, const char* text) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = subItem;
    item.pszText = const_cast<char*>(text);
    SendMessageA(g_transfersList, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

// Returns the row the control gave the record.
int InsertRow(int index, const FileRecord& record) {
    char time[kTimeTextSize];
    FormatTimeText(record.lastWrite, time);
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = index;
    item.pszText = time;
    const int row = static_cast<int>(
        SendMessageA(g_transfersList, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    // The folder name may be %XX-encoded; the user knows the instrument by its real serial.
    SetSubItemText(row, 1, SerialFromDirectoryName(record.serial).c_str());
    SetSubItemText(row, 2, record.fileName.c_str());
    char size[kSizeTextSize];
    FormatSizeText(record.size, size);
    SetSubItemText(row, 3, size);
    return row;
}

void SelectRow(int row) {
    LVITEMA item{};
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(g_transfersList, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&item));
}

void OnListNotify(HWND window, const NMHDR& header, LPARAM lParam) {
    if (header.hwndFrom != g_transfersList) {
        return;
    }
    if (header.code == static_cast<UINT>(LVN_KEYDOWN)) {
        const auto& key = *reinterpret_cast<const NMLVKEYDOWN*>(lParam);
        if (key.wVKey == VK_RETURN) {
            OpenSelectedFile(window);
        } else if (key.wVKey == VK_ESCAPE) {
            DestroyWindow(window);
        }
    } else if (header.code == static_cast<UINT>(NM_DBLCLK)) {
        // The first selected row, not the one under the mouse: the same file Enter would open.
        OpenSelectedFile(window);
    }
}

void OnCommand(HWND window, WPARAM wParam) {
    switch (LOWORD(wParam)) {
        case ID_REFRESH:
        case ID_VIEW_REFRESH:
            RefreshTransfersList();
            break;
        // Settings and the folder belong to the main window, which also keeps the tray menu's
        // marks in step; sent, so the change is made before the menu can be opened again.
        case ID_SHOW_USB_EVENTS:
        case ID_SHOW_FILE_TRANSFERS:
        case ID_RUN_ON_STARTUP:
        case ID_OPEN_DATA_FOLDER:
            SendMessageA(g_mainWindow, WM_COMMAND, wParam, 0);
            break;
        case ID_CLOSE:
            PostMessageA(window, WM_CLOSE, 0, 0);
            break;
        default:
            break;
    }
}

// The main window changes the settings, so the marks are read afresh each time a menu opens.
void CheckSettingItems(HMENU popup) {
    const auto mark = [](DWORD setting) -> UINT {
        return MF_BYCOMMAND | (setting != 0 ? MF_CHECKED : MF_UNCHECKED);
    };
    CheckMenuItem(popup, ID_SHOW_USB_EVENTS, mark(g_settings.ShowText));
    CheckMenuItem(popup, ID_SHOW_FILE_TRANSFERS, mark(g_settings.ShowFile));
    CheckMenuItem(popup, ID_RUN_ON_STARTUP, mark(g_settings.AutoRun));
}

}  // namespace

LRESULT CALLBACK TransfersWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            // Without its list the window still opens, empty.
            g_transfersList = CreateTransfersList(window);
            // Filled before the window is first shown.
            SendMessageA(window, WM_COMMAND, ID_REFRESH, 0);
            return 0;
        case WM_DESTROY:
            g_transfersWindow = nullptr;
            // The list dies with its parent; a stale handle could name someone else's window.
            g_transfersList = nullptr;
            return 0;
        case WM_SETFOCUS:
            // Keys then reach the list, where Enter and Escape are handled.
            SetFocus(g_transfersList);
            return 0;
        case WM_NOTIFY:
            OnListNotify(window, *reinterpret_cast<const NMHDR*>(lParam), lParam);
            return 0;
        case WM_COMMAND:
            OnCommand(window, wParam);
            return 0;
        case WM_INITMENUPOPUP:
            if (HIWORD(lParam) != 0) {
                break;  // the system menu
            }
            CheckSettingItems(reinterpret_cast<HMENU>(wParam));
            return 0;
        default:
            break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void RefreshTransfersList() {
    if (g_transfersList == nullptr) {
        return;
    }
    // One repaint at the end instead of one per row.
    SendMessageA(g_transfersList, WM_SETREDRAW, FALSE, 0);

    // The selection is kept by file, not by row: new files push the old ones down.
    FileRecord remembered{};
    if (const FileRecord* selected = RecordAtRow(FirstSelectedRow())) {
        remembered = *selected;
    }

    ScanDataFolder(g_dataFolder, g_fileRecords);
    SendMessageA(g_transfersList, LVM_DELETEALLITEMS, 0, 0);
    int index = 0;
    for (const FileRecord& record : g_fileRecords) {
        const int row = InsertRow(index, record);
        // By name alone: a file that grew or was touched since is still the user's choice.
        if (record.serial == remembered.serial && record.fileName == remembered.fileName) {
            SelectRow(row);
        }
        ++index;
    }

    SendMessageA(g_transfersList, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(g_transfersList, nullptr, TRUE);
}

void OpenSelectedFile(HWND window) {
    const FileRecord* record = RecordAtRow(FirstSelectedRow());
    if (record == nullptr) {
        return;
    }
    // The raw folder name: the decoded serial shown in the list may not be a valid path.
    const std::string path = g_dataFolder + record->serial + '\\' + record->fileName;
    ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    DestroyWindow(window);
}
