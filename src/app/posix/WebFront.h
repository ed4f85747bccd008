#pragma once

// The web page as the command line asks for it: served on 127.0.0.1:9394 unless told otherwise
// or "off". Settled before the receiver starts (its notifications and links feed the page from
// the first), served once the receiver is up.

#include <memory>
#include <string>

#include "app/posix/CommandLine.h"
#include "link/ReceiverEvents.h"

class WebPage;
namespace handoff {
class Forwarder;
}

class WebFront {
public:
    WebFront();
    ~WebFront();

    // False, with `error` set, when the options cannot be served as given.
    bool Configure(const CommandLine& line, const std::string& dataFolder, std::string& error);
    // What the page takes of the receiver's events; null while there is no page.
    ReceiverEvents* Events();
    // The hand-off the page shows, null when nothing is handed on; before Start only, and
    // once the forwarder's runners are started (the page reads them from its own thread).
    void Forward(const handoff::Forwarder* forwarder);
    // Serves the page and says where. A default address that cannot be bound is reported and
    // orbtray goes on without the page; false when an address the user gave cannot be served.
    bool Start();
    void Stop();

private:
    std::unique_ptr<WebPage> page_;
    bool addressGiven_ = false;
    std::string url_;
    bool loopback_ = true;
};
