// The Data folder watch. Main thread only: the system completes the read in the background and
// only signals the event, which the main loop waits on.

#include "app/win32/App.h"

namespace {

constexpr DWORD kChanges =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;

HANDLE g_directory = INVALID_HANDLE_VALUE;
OVERLAPPED g_overlapped = {};
// The system writes change records here; nothing reads them, any completion means "look again".
alignas(DWORD) unsigned char g_changes[65536];

void Arm() {
    ReadDirectoryChangesW(g_directory, g_changes, sizeof g_changes, TRUE, kChanges, nullptr,
                          &g_overlapped, nullptr);
}

// Whether the completed read leaves the watch usable. A read that overflowed the buffer is fine;
// one that failed otherwise (the folder was deleted, say) would complete again at once on every
// re-arm and keep the main thread spinning.
bool CompletedUsably() {
    DWORD bytes = 0;
    return GetOverlappedResult(g_directory, &g_overlapped, &bytes, FALSE) ||
           GetLastError() == ERROR_NOTIFY_ENUM_DIR;
}

}  // namespace

void StartFolderWatch(const std::string& folder) {
    g_directory = CreateFileA(
        folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    g_overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_directory != INVALID_HANDLE_VALUE) {
        Arm();
    }
}

HANDLE FolderWatchEvent() {
    return g_overlapped.hEvent;
}

void OnFolderWatchSignalled() {
    ResetEvent(g_overlapped.hEvent);
    if (g_transfersWindow != nullptr) {
        PostMessageA(g_transfersWindow, WM_COMMAND, ID_REFRESH, 0);
    }
    if (CompletedUsably()) {
        Arm();
    }
}

void StopFolderWatch() {
    if (g_overlapped.hEvent != nullptr) {
        CloseHandle(g_overlapped.hEvent);
        g_overlapped.hEvent = nullptr;
    }
    // Closing the directory ends the pending read.
    if (g_directory != INVALID_HANDLE_VALUE) {
        CloseHandle(g_directory);
        g_directory = INVALID_HANDLE_VALUE;
    }
}
