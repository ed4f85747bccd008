#include "platform/Thread.h"

#include <dirent.h>
#include <pthread.h>

#include <cstring>

#include "platform/ThreadStart.h"

namespace platform {
namespace {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit Thread::handle_");

void* RunThread(void* request) {
    RunThreadStartRequest(request);
    return nullptr;
}

}  // namespace

bool Thread::StartOsThread(void* request) {
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, &RunThread, request) != 0) {
        return false;
    }
    handle_ = 0;
    std::memcpy(&handle_, &thread, sizeof thread);
    return true;
}

void Thread::Join() {
    if (!started_) {
        return;
    }
    pthread_t thread;
    std::memcpy(&thread, &handle_, sizeof thread);
    ::pthread_join(thread, nullptr);
    started_ = false;
    handle_ = 0;
}

int CountProcessThreads() {
    // Linux lists each thread of the process as a directory here.
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

}  // namespace platform
