// How the receiver's notifications reach the main window. Report runs on the event queue's
// thread, NoticeBeingDelivered on the main thread; the list of notices in delivery is all they
// share, under its own lock. The queue's thread waits in SendMessageA for the main thread, so a
// busy window delays only the notifications, never an instrument.

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "app/win32/App.h"

namespace {

std::mutex g_deliveringMutex;
std::vector<const UiNotice*> g_delivering;
std::atomic<bool> g_closed{false};

class MainWindowSink final : public ReceiverEvents {
public:
    void Report(const ReceiverEvent& event) override {
        using Kind = ReceiverEvent::Kind;
        if ((event.kind != Kind::Notice && event.kind != Kind::FileReceived) || g_closed.load()) {
            return;
        }
        const UiNotice notice{event.title.c_str(), event.text.c_str(),
                              event.kind == Kind::FileReceived ? event.file.path.c_str() : "",
                              event.alwaysShown};
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

ReceiverEvents& MainWindowEvents() {
    return g_sink;
}

void CloseMainWindowEvents() {
    g_closed.store(true);
}

const UiNotice* NoticeBeingDelivered(LPARAM lParam) {
    const auto* notice = reinterpret_cast<const UiNotice*>(lParam);
    const std::lock_guard<std::mutex> lock(g_deliveringMutex);
    // The sender is blocked in its send until we return, so a notice found here stays valid.
    return std::find(g_delivering.begin(), g_delivering.end(), notice) != g_delivering.end()
               ? notice
               : nullptr;
}
