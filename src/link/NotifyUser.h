#pragma once

#include <cstdarg>

#include "platform/Printf.h"

// What a worker tells the user interface. Everything it points to belongs to the sender and
// lives only while the notification is being delivered: a receiver copies what it keeps.
struct UiNotice {
    const char* title;
    const char* text;
    const char* path;  // the received file, or "" when the notice names no file
};

// Size of the buffer a notification text is formatted into, terminating NUL included.
inline constexpr int kNotifyTextSize = 256;

class NotifySink {
public:
    virtual ~NotifySink() = default;
    // Called on the worker's thread; returns once the notice has been handled.
    virtual void Deliver(const UiNotice& notice) = 0;
};

// Set once at start-up, before any worker thread exists. With no sink a notification returns at
// once without effect (as after the main window has gone at shut-down).
void SetNotifySink(NotifySink* sink);

void NotifyUser(const char* title, const char* format, ...) ORB_PRINTF(2, 3);
void NotifyUserFile(const char* title, const char* path, const char* format, ...) ORB_PRINTF(3, 4);
void NotifyUserFileV(const char* title, const char* path, const char* format,
                     std::va_list arguments);
