#include "Harness.h"

#include <commctrl.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Probe.h"

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return done();
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

Program::Program(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
}

Program::~Program() {
    if (!process_)
        return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
}

DWORD Program::Wait(std::chrono::milliseconds limit) {
    DWORD code = STILL_ACTIVE;
    if (process_ && WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) == 0) {
        GetExitCodeProcess(process_, &code);
    }
    return code;
}

DWORD Run(const std::string& commandLine, std::chrono::milliseconds limit) {
    Program program(commandLine);
    return program.Started() ? program.Wait(limit) : DWORD(-1);
}

std::string Quoted(const std::string& text) {
    return '"' + text + '"';
}

std::vector<HWND> TopLevelWindows(const char* windowClass) {
    std::vector<HWND> found;
    for (HWND window = nullptr; (window = FindWindowExA(nullptr, window, windowClass, nullptr));) {
        found.push_back(window);
    }
    return found;
}

HWND TheWindow(const char* windowClass) {
    const std::vector<HWND> windows = TopLevelWindows(windowClass);
    return windows.size() == 1 ? windows[0] : nullptr;
}

HWND ShownWindowOf(const char* windowClass, DWORD process) {
    for (HWND window : TopLevelWindows(windowClass)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == process && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

std::string WindowText(HWND window) {
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

RemoteMemory::RemoteMemory(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (process_) {
        block_ = static_cast<char*>(
            VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT, PAGE_READWRITE));
    }
}

RemoteMemory::~RemoteMemory() {
    if (block_)
        VirtualFreeEx(process_, block_, 0, MEM_RELEASE);
    if (process_)
        CloseHandle(process_);
}

LPARAM RemoteMemory::Write(const void* bytes, size_t size, size_t at) {
    WriteProcessMemory(process_, block_ + at, bytes, size, nullptr);
    return reinterpret_cast<LPARAM>(block_ + at);
}

void RemoteMemory::Read(void* bytes, size_t size, size_t at) const {
    ReadProcessMemory(process_, block_ + at, bytes, size, nullptr);
}

// The request structure goes at offset 0 of the remote block, its text behind it.
namespace {
constexpr size_t kTextAt = 1024;
constexpr int kTextMax = 1024;
}  // namespace

std::string RemoteList::Text(UINT message, WPARAM wparam, const void* request, size_t size,
                             LRESULT* answer) {
    const char none = 0;
    memory_.Write(&none, 1, kTextAt);
    const LRESULT result = SendMessageA(list_, message, wparam, memory_.Write(request, size));
    if (answer)
        *answer = result;
    char text[kTextMax + 1] = {};
    memory_.Read(text, kTextMax, kTextAt);
    return text;
}

std::vector<RemoteList::Row> RemoteList::Rows() {
    std::vector<Row> rows;
    const int count = static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count && memory_.Valid(); ++i) {
        Row& row = rows.emplace_back();
        for (int column = 0; column < 4; ++column) {
            LVITEMA item{};
            item.mask = LVIF_TEXT;
            item.iSubItem = column;
            item.pszText = memory_.At(kTextAt);
            item.cchTextMax = kTextMax;
            row.push_back(Text(LVM_GETITEMTEXTA, i, &item, sizeof item));
        }
    }
    return rows;
}

std::vector<std::string> RemoteList::Headers() {
    std::vector<std::string> headers;
    LRESULT found = memory_.Valid();
    for (int column = 0; found; ++column) {
        LVCOLUMNA info{};
        info.mask = LVCF_TEXT;
        info.pszText = memory_.At(kTextAt);
        info.cchTextMax = kTextMax;
        const std::string text = Text(LVM_GETCOLUMNA, column, &info, sizeof info, &found);
        if (found)
            headers.push_back(text);
    }
    return headers;
}

std::vector<int> RemoteList::Selected() {
    std::vector<int> rows;
    for (LRESULT row = -1; (row = SendMessageA(list_, LVM_GETNEXTITEM, row, LVNI_SELECTED)) >= 0;) {
        rows.push_back(static_cast<int>(row));
    }
    return rows;
}

void RemoteList::Select(const std::vector<int>& rows) {
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    SendMessageA(list_, LVM_SETITEMSTATE, WPARAM(-1), memory_.Write(&item, sizeof item));
    for (size_t i = 0; i < rows.size(); ++i) {
        item.state = i == 0 ? LVIS_SELECTED | LVIS_FOCUSED : LVIS_SELECTED;
        SendMessageA(list_, LVM_SETITEMSTATE, rows[i], memory_.Write(&item, sizeof item));
    }
}

RECT RemoteList::ItemRect(int row) {
    RECT rect{};
    rect.left = LVIR_BOUNDS;
    SendMessageA(list_, LVM_GETITEMRECT, row, memory_.Write(&rect, sizeof rect));
    memory_.Read(&rect, sizeof rect, 0);
    return rect;
}

std::vector<std::string> ShownBalloons() {
    std::vector<std::string> balloons;
    for (HWND tip : TopLevelWindows(TOOLTIPS_CLASSA)) {
        if (!IsWindowVisible(tip) || !(GetWindowLongA(tip, GWL_STYLE) & TTS_BALLOON))
            continue;
        RemoteMemory memory(tip);
        // The text of its one tool.
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.lpszText = reinterpret_cast<wchar_t*>(memory.At(kTextAt));
        const wchar_t none = 0;
        memory.Write(&none, sizeof none, kTextAt);
        SendMessageW(tip, TTM_ENUMTOOLSW, 0, memory.Write(&tool, sizeof tool));
        wchar_t text[kTextMax] = {};
        memory.Read(text, sizeof text - sizeof(wchar_t), kTextAt);
        char narrow[2 * kTextMax] = {};
        WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
        balloons.push_back(narrow);
    }
    return balloons;
}

MenuReader::MenuReader(const std::string& probeDll, DWORD thread) {
    report_ = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kProbeReportSize,
                                 kProbeReport);
    view_ = report_ ? static_cast<char*>(MapViewOfFile(report_, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                    : nullptr;
    dll_ = LoadLibraryA(probeDll.c_str());
    const auto hook = dll_ ? reinterpret_cast<HOOKPROC>(
                                 reinterpret_cast<void*>(GetProcAddress(dll_, kProbeHookName)))
                           : nullptr;
    if (view_ && hook)
        hook_ = SetWindowsHookExA(WH_CALLWNDPROC, hook, dll_, thread);
}

MenuReader::~MenuReader() {
    if (hook_)
        UnhookWindowsHookEx(hook_);
    if (dll_)
        FreeLibrary(dll_);
    if (view_)
        UnmapViewOfFile(view_);
    if (report_)
        CloseHandle(report_);
}

std::vector<MenuItem> MenuReader::ReadOpenMenu(HWND window) {
    std::vector<MenuItem> items;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (!WaitUntil([&] { return ShownWindowOf("#32768", owner) != nullptr; }) || !hook_)
        return items;
    std::strcpy(view_, "no answer");
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, RegisterWindowMessageA(kProbeMessage), 0, 0, SMTO_NORMAL, 10000,
                        &result);
    std::istringstream report(view_);
    for (std::string id, state, text; std::getline(report, id, '\t') &&
                                      std::getline(report, state, '\t') &&
                                      std::getline(report, text);) {
        items.push_back({static_cast<unsigned>(std::stoul(id)), state, text});
    }
    // The menu closes on the hook's EndMenu; the next step must not find it still open.
    WaitUntil([&] { return ShownWindowOf("#32768", owner) == nullptr; });
    return items;
}

namespace {

HKEY Open(const std::string& subkey, REGSAM access) {
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, access, &key) == ERROR_SUCCESS
               ? key
               : nullptr;
}

}  // namespace

int ValueCount(const std::string& subkey) {
    HKEY key = Open(subkey, KEY_READ);
    if (!key)
        return -1;
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return static_cast<int>(values);
}

RegValue ReadValue(const std::string& subkey, const char* name) {
    RegValue value;
    HKEY key = Open(subkey, KEY_READ);
    if (!key)
        return value;
    char bytes[1024];
    DWORD size = sizeof bytes, type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes), &size) ==
        ERROR_SUCCESS) {
        value = {type, std::string(bytes, size)};
    }
    RegCloseKey(key);
    return value;
}

RegValue Dword(DWORD value) {
    return {REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

RegValue String(const std::string& text) {
    return {REG_SZ, text + '\0'};
}

void PrintTo(const RegValue& value, std::ostream* out) {
    *out << "type " << value.type << " " << ::testing::PrintToString(value.bytes);
}

void WriteValue(const std::string& subkey, const char* name, const RegValue& value, HKEY root) {
    RegSetKeyValueA(root, subkey.c_str(), name, value.type, value.bytes.data(),
                    static_cast<DWORD>(value.bytes.size()));
}

std::string ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return "(no file)";
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}
