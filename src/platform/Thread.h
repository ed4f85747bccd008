#pragma once

namespace platform {

using ThreadEntry = unsigned (*)(void* argument);

// Owns one OS thread from Start to Join. Default stack size, running at once.
class Thread {
public:
    Thread() = default;
    ~Thread();  // a thread still owned here is joined, never left detached
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;

    // False when the OS cannot start another thread; nothing is started then.
    [[nodiscard]] bool Start(ThreadEntry entry, void* argument);
    bool IsStarted() const { return started_; }
    // Waits without a time limit for the thread to end, then releases it.
    void Join();

private:
    // Starts the OS thread on a trampoline that passes `request` to RunThreadStartRequest.
    bool StartOsThread(void* request);

    bool started_ = false;
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    unsigned long handle_ = 0;  // pthread_t
#endif
};

// Number of threads the process is running now; for tests and benchmarks that check that
// finished links give their threads back. -1 where the OS cannot tell.
int CountProcessThreads();

}  // namespace platform
