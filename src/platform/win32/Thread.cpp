#include "platform/Thread.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include "platform/ThreadStart.h"

namespace platform {
namespace {

DWORD WINAPI RunThread(LPVOID request) {
    return RunThreadStartRequest(request);
}

}  // namespace

bool Thread::StartOsThread(void* request) {
    handle_ = CreateThread(nullptr, 0, &RunThread, request, 0, nullptr);
    return handle_ != nullptr;
}

void Thread::Join() {
    if (!started_) {
        return;
    }
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    started_ = false;
    handle_ = nullptr;
}

int CountProcessThreads() {
    // The snapshot holds the threads of every process; only ours are counted.
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count > 0 ? count : -1;
}

}  // namespace platform
