#pragma once

// Who is connected now, for a front end that shows it live. Links report from their own
// threads; the watcher copies what it keeps. A link is identified by an opaque key that stays
// unique from its opening to its closing (its worker's address): names such as "S7" come back
// as soon as the OS reuses a socket value, possibly before the old link has said it closed.

class LinkWatch {
public:
    virtual ~LinkWatch() = default;
    // `kind` is "tcp" or "usb"; `peer` the remote address, "" for a serial port.
    virtual void LinkOpened(const void* key, const char* name, const char* kind,
                            const char* peer) = 0;
    // The instrument said its serial number (HELLO), as received.
    virtual void LinkSerial(const void* key, const char* serial) = 0;
    virtual void LinkClosed(const void* key) = 0;
};

// Set once at start-up, before any link exists; with none the reports cost nothing.
void SetLinkWatch(LinkWatch* watch);

void WatchLinkOpened(const void* key, const char* name, const char* kind, const char* peer);
void WatchLinkSerial(const void* key, const char* serial);
void WatchLinkClosed(const void* key);
