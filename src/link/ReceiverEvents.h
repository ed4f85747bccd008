#pragma once

// What the receiver tells the world: connection-log lines, links opened and closed, the serial
// an instrument announced, the notifications the user sees, and each file received with the
// record the store made of it. The receiver is handed one ReceiverEvents and passes it down to
// every link; nothing is set globally. Reports come from the links' own threads and must cost
// them next to nothing: a front end takes them through an EventQueue and does its work on its
// own thread, so that an instrument never waits for a window, a page or a forwarder.

#include <cstdarg>
#include <string>

#include "datafolder/Store.h"
#include "platform/Printf.h"

// Longest log line, line feed included; longer lines are cut and still end in a line feed.
inline constexpr int kMaxLogLine = 259;
// Longest notification text, terminating NUL included.
inline constexpr int kNotifyTextSize = 256;

struct ReceiverEvent {
    // TransferProgress and TransferAborted are for front ends that show transfers as they go;
    // every other consumer passes them by, and a queue that must drop events drops them first.
    enum class Kind {
        Log,
        LinkOpened,
        LinkSerial,
        LinkClosed,
        Notice,
        FileReceived,
        TransferProgress,
        TransferAborted
    };

    Kind kind = Kind::Log;
    // The link a Link* or Transfer* event is about, and the one a FileReceived came over:
    // unique from its opening to its closing (its worker's address). Names such as "S7" come
    // back as soon as the OS reuses a socket value, possibly before the old link has said it
    // closed.
    const void* link = nullptr;
    std::string text;      // Log: the whole line, line feed included; Notice, FileReceived: the
                           // notification's text; LinkOpened: the link's name ("S7", "ttyUSB0")
    std::string title;     // Notice, FileReceived: the notification's title
    std::string linkKind;  // LinkOpened: "tcp" or "usb"
    std::string peer;      // LinkOpened: the remote address, "" for a serial port
    std::string serial;    // LinkSerial: as received
    // FileReceived; TransferProgress: the temporary file (folder, name, path), the serial and
    // the readings so far, all of them in the file.
    ReceivedFile file;
    // Notice: a fault the user must hear of (forwarding stopped), shown whatever the user chose
    // for the notifications about instruments.
    bool alwaysShown = false;
};

class ReceiverEvents {
public:
    virtual ~ReceiverEvents() = default;
    // Called from any thread, in the order things happened on that thread.
    virtual void Report(const ReceiverEvent& event) = 0;
};

// One line of the connection log, printf-style, each beginning "Connection <name> ".
void ConnectionLog(ReceiverEvents& events, const char* format, ...) ORB_PRINTF(2, 3);
void ConnectionLogV(ReceiverEvents& events, const char* format, std::va_list arguments);

void ReportLinkOpened(ReceiverEvents& events, const void* link, const char* name, const char* kind,
                      const char* peer);
void ReportLinkSerial(ReceiverEvents& events, const void* link, const char* serial);
void ReportLinkClosed(ReceiverEvents& events, const void* link);
void ReportTransferProgress(ReceiverEvents& events, const void* link, const ReceivedFile& sofar);
void ReportTransferAborted(ReceiverEvents& events, const void* link);
// A notification that names no file, printf-style; the text is cut to kNotifyTextSize - 1.
void NotifyUser(ReceiverEvents& events, const char* title, const char* format, ...)
    ORB_PRINTF(3, 4);
// A notice that is shown whatever the user's choices, printf-style.
void WarnUser(ReceiverEvents& events, const char* title, const char* format, ...) ORB_PRINTF(3, 4);
// "File Received" for a file the store finished, with its record and the link it came over.
void NotifyUserFile(ReceiverEvents& events, const ReceivedFile& file, const void* link = nullptr);
