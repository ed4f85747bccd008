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

// Whether a read is pending or has completed and waits for the handler. Arming fails only when
// the handle can no longer be watched (the folder is gone, say); then the watch has ended and
// the loop no longer waits on its event.
bool g_watching = false;

void Arm() {
    g_watching = ReadDirectoryChangesW(g_directory, g_changes, sizeof g_changes, TRUE, kChanges,
                                       nullptr, &g_overlapped, nullptr) != FALSE;
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
    return g_watching ? g_overlapped.hEvent : nullptr;
}

void OnFolderWatchSignalled() {
    ResetEvent(g_overlapped.hEvent);
    if (g_transfersWindow != nullptr) {
        PostMessageA(g_transfersWindow, WM_COMMAND, ID_REFRESH, 0);
    }
    // Armed again whatever the completion reported: an overflow, or a read that failed once (a
    // network folder that went away for a moment), must not end the watch.
    Arm();
}

void StopFolderWatch() {
    g_watching = false;
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
