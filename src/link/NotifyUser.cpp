#include "link/NotifyUser.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

std::atomic<NotifySink*> g_notifySink{nullptr};

void Send(const char* title, const char* path, const char* format, va_list arguments) {
    NotifySink* sink = g_notifySink.load();
    if (sink == nullptr) {
        return;
    }
    // vsnprintf cuts an over-long text to fit the buffer and always terminates it.
    char text[kNotifyTextSize];
    if (std::vsnprintf(text, sizeof text, format, arguments) < 0) {
        text[0] = '\0';
    }
    const UiNotice notice{title, text, path};
    sink->Deliver(notice);
}

}  // namespace

void SetNotifySink(NotifySink* sink) {
    g_notifySink.store(sink);
}

void NotifyUser(const char* title, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Send(title, "", format, arguments);
    va_end(arguments);
}

void NotifyUserFileV(const char* title, const char* path, const char* format,
                     std::va_list arguments) {
    Send(title, path, format, arguments);
}

void NotifyUserFile(const char* title, const char* path, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Send(title, path, format, arguments);
    va_end(arguments);
}
