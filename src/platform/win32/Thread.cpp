#include "platform/Thread.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <new>

namespace platform {
namespace {

// CreateThread wants a different signature from ThreadEntry, so the thread starts here and
// calls on.
struct StartRequest {
    ThreadEntry entry;
    void* argument;
};

DWORD WINAPI RunThread(LPVOID raw) {
    const StartRequest request = *static_cast<StartRequest*>(raw);
    delete static_cast<StartRequest*>(raw);
    return request.entry(request.argument);
}

}  // namespace

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (started_) {
        return false;
    }
    auto* request = new (std::nothrow) StartRequest{entry, argument};
    if (request == nullptr) {
        return false;
    }
    handle_ = CreateThread(nullptr, 0, &RunThread, request, 0, nullptr);
    if (handle_ == nullptr) {
        delete request;
        return false;
    }
    started_ = true;
    return true;
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
