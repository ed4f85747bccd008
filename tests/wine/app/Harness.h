#pragma once

// The test's side of a user at a Windows desktop with orbtray.exe on it: finding its windows,
// reading its list and its menus, clicking its tray icon, starting programs, reading the
// registry. Everything goes through the window system, the shell and the registry, from outside
// orbtray's process; only the menus need a hook inside it (Probe.h).

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// Polls `done` every 50 ms until it holds or `limit` has passed; its last answer.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s);
// Waits for `get()` to equal `want`; a failure shows what it was last.
template <class Get, class T>
::testing::AssertionResult Eventually(Get get, const T& want,
                                      std::chrono::milliseconds limit = 20s) {
    if (WaitUntil([&] { return get() == want; }, limit))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << ::testing::PrintToString(get()) << ", want "
                                         << ::testing::PrintToString(want);
}

// A program started with CreateProcess; killed if still running when this goes away, so a failed
// test does not leave it holding port 9393.
class Program {
public:
    explicit Program(const std::string& commandLine);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    // The exit code once it has ended within `limit`; STILL_ACTIVE (259) if it has not.
    DWORD Wait(std::chrono::milliseconds limit = 30s);

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Runs `commandLine` to its end; its exit code, or STILL_ACTIVE if it did not end in time.
DWORD Run(const std::string& commandLine, std::chrono::milliseconds limit = 30s);
std::string Quoted(const std::string& text);

// Top-level windows of `windowClass`, visible or not, of any process.
std::vector<HWND> TopLevelWindows(const char* windowClass);
HWND TheWindow(const char* windowClass);                     // the only one, or null
HWND ShownWindowOf(const char* windowClass, DWORD process);  // a visible one of `process`, or null
std::string WindowText(HWND window);

// A block of memory in the process of another program's window, for the requests whose
// structures and texts the control reads and writes in its own address space.
class RemoteMemory {
public:
    explicit RemoteMemory(HWND window);
    ~RemoteMemory();
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;
    static constexpr size_t kSize = 16384;
    bool Valid() const { return block_ != nullptr; }
    char* At(size_t offset) const { return block_ + offset; }  // an address over there
    // Copies `size` bytes to offset `at` there; the address they went to.
    LPARAM Write(const void* bytes, size_t size, size_t at = 0);
    void Read(void* bytes, size_t size, size_t at) const;

private:
    HANDLE process_ = nullptr;
    char* block_ = nullptr;
};

// The list-view control of another process.
class RemoteList {
public:
    explicit RemoteList(HWND list) : list_(list), memory_(list) {}

    using Row = std::vector<std::string>;  // the texts of the four columns
    std::vector<Row> Rows();
    std::vector<std::string> Headers();
    std::vector<int> Selected();
    // Selects exactly `rows`, the first of them also focused, as a user's clicks would.
    void Select(const std::vector<int>& rows);
    RECT ItemRect(int row);

private:
    // Sends `message` with `request`, whose text pointer aims at the block's text area; that text.
    std::string Text(UINT message, WPARAM wparam, const void* request, size_t size,
                     LRESULT* answer = nullptr);
    HWND list_;
    RemoteMemory memory_;
};

// The texts of the balloons that the system tray shows now, read from its tooltip windows. Their
// titles cannot be read back: Wine's tooltips do not answer TTM_GETTITLE.
std::vector<std::string> ShownBalloons();

// One item of an open menu as the user sees it.
struct MenuItem {
    unsigned id;
    std::string state;  // C checked, D default, S separator
    std::string text;
    bool operator==(const MenuItem&) const = default;
};
inline void PrintTo(const MenuItem& item, std::ostream* out) {
    *out << "{" << item.id << ", \"" << item.state << "\", \"" << item.text << "\"}";
}

// Reads the menus that orbtray's main thread opens, through the hook DLL at `probeDll`.
class MenuReader {
public:
    MenuReader(const std::string& probeDll, DWORD thread);
    ~MenuReader();
    MenuReader(const MenuReader&) = delete;
    MenuReader& operator=(const MenuReader&) = delete;
    bool Hooked() const { return hook_ != nullptr; }
    // Waits for a pop-up menu of the thread to show, reads its items and closes it. Empty if none
    // showed. `window` is any window of that thread.
    std::vector<MenuItem> ReadOpenMenu(HWND window);

private:
    HMODULE dll_ = nullptr;
    HHOOK hook_ = nullptr;
    HANDLE report_ = nullptr;
    char* view_ = nullptr;
};

// Registry, current user.
int ValueCount(const std::string& subkey);  // values under the key, -1 if it does not exist
// A value's type and bytes; type REG_NONE when it is missing.
struct RegValue {
    DWORD type = REG_NONE;
    std::string bytes;
    bool operator==(const RegValue&) const = default;
};
RegValue ReadValue(const std::string& subkey, const char* name);
RegValue Dword(DWORD value);
RegValue String(const std::string& text);  // REG_SZ with its terminating zero
void PrintTo(const RegValue& value, std::ostream* out);
void WriteValue(const std::string& subkey, const char* name, const RegValue& value,
                HKEY root = HKEY_CURRENT_USER);

std::string ReadBytes(const std::string& path);  // "(no file)" if it cannot be read
void WriteBytes(const std::string& path, const std::string& bytes);
std::vector<std::string> Entries(const std::string& folder);  // names of files and directories
