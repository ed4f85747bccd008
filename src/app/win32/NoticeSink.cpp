// How a worker's notification reaches the main window. Deliver runs on worker threads,
// NoticeBeingDelivered on the main thread; the list of notices in delivery is all they share,
// under its own lock.

#include <algorithm>
#include <mutex>
#include <vector>

#include "app/win32/App.h"

namespace {

std::mutex g_deliveringMutex;
std::vector<const UiNotice*> g_delivering;

class MainWindowSink final : public NotifySink {
public:
    void Deliver(const UiNotice& notice) override {
        {
            const std::lock_guard<std::mutex> lock(g_deliveringMutex);
            g_delivering.push_back(&notice);
        }
        // Waits until the main thread has handled it, so the notice may live on our stack. Once
        // the main window is gone the send fails at once.
        SendMessageA(g_mainWindow, WM_COMMAND, ID_NOTIFY, reinterpret_cast<LPARAM>(&notice));
        const std::lock_guard<std::mutex> lock(g_deliveringMutex);
        g_delivering.erase(std::find(g_delivering.begin(), g_delivering.end(), &notice));
    }
};

MainWindowSink g_sink;

}  // namespace

NotifySink& MainWindowNotifySink() {
    return g_sink;
}

const UiNotice* NoticeBeingDelivered(LPARAM lParam) {
    const auto* notice = reinterpret_cast<const UiNotice*>(lParam);
    const std::lock_guard<std::mutex> lock(g_deliveringMutex);
    // The sender is blocked in its send until we return, so a notice found here stays valid.
    return std::find(g_delivering.begin(), g_delivering.end(), notice) != g_delivering.end()
               ? notice
               : nullptr;
}
