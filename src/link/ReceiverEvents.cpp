#include "link/ReceiverEvents.h"

#include <cstdio>

void ConnectionLog(ReceiverEvents& events, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    ConnectionLogV(events, format, arguments);
    va_end(arguments);
}

void ConnectionLogV(ReceiverEvents& events, const char* format, std::va_list arguments) {
    char line[kMaxLogLine + 1];
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    if (length < 0) {
        return;
    }
    // A cut line keeps its line feed so the next line still starts on a line of its own.
    if (length > kMaxLogLine) {
        line[kMaxLogLine - 1] = '\n';
    }
    ReceiverEvent event;
    event.kind = ReceiverEvent::Kind::Log;
    event.text = line;
    events.Report(event);
}

namespace {

// An event about one link, to which each report adds its own fields.
ReceiverEvent LinkEvent(ReceiverEvent::Kind kind, const void* link) {
    ReceiverEvent event;
    event.kind = kind;
    event.link = link;
    return event;
}

}  // namespace

void ReportLinkOpened(ReceiverEvents& events, const void* link, const char* name, const char* kind,
                      const char* peer) {
    ReceiverEvent event = LinkEvent(ReceiverEvent::Kind::LinkOpened, link);
    event.text = name;
    event.linkKind = kind;
    event.peer = peer;
    events.Report(event);
}

void ReportLinkSerial(ReceiverEvents& events, const void* link, const char* serial) {
    ReceiverEvent event = LinkEvent(ReceiverEvent::Kind::LinkSerial, link);
    event.serial = serial;
    events.Report(event);
}

void ReportLinkClosed(ReceiverEvents& events, const void* link) {
    events.Report(LinkEvent(ReceiverEvent::Kind::LinkClosed, link));
}

void ReportTransferProgress(ReceiverEvents& events, const void* link, const ReceivedFile& sofar) {
    ReceiverEvent event = LinkEvent(ReceiverEvent::Kind::TransferProgress, link);
    event.file = sofar;
    events.Report(event);
}

void ReportTransferAborted(ReceiverEvents& events, const void* link) {
    events.Report(LinkEvent(ReceiverEvent::Kind::TransferAborted, link));
}

namespace {

void NotifyUserV(ReceiverEvents& events, bool alwaysShown, const char* title, const char* format,
                 std::va_list arguments) {
    // vsnprintf cuts an over-long text to fit the buffer and always terminates it.
    char text[kNotifyTextSize];
    if (std::vsnprintf(text, sizeof text, format, arguments) < 0) {
        text[0] = '\0';
    }
    ReceiverEvent event;
    event.kind = ReceiverEvent::Kind::Notice;
    event.title = title;
    event.text = text;
    event.alwaysShown = alwaysShown;
    events.Report(event);
}

}  // namespace

void NotifyUser(ReceiverEvents& events, const char* title, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    NotifyUserV(events, false, title, format, arguments);
    va_end(arguments);
}

void WarnUser(ReceiverEvents& events, const char* title, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    NotifyUserV(events, true, title, format, arguments);
    va_end(arguments);
}

void NotifyUserFile(ReceiverEvents& events, const ReceivedFile& file, const void* link) {
    char text[kNotifyTextSize];
    std::snprintf(text, sizeof text, "Device %s sent %d readings.", file.serial.c_str(),
                  static_cast<int>(file.lineCount));
    ReceiverEvent event;
    event.kind = ReceiverEvent::Kind::FileReceived;
    event.title = "File Received";
    event.text = text;
    event.file = file;
    event.link = link;
    events.Report(event);
}
