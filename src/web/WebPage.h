#pragma once

// Everything the web page needs, in the order it must exist: the event hub and the live state
// first (the notification and link reports go to them from the moment the receiver starts),
// the HTTP server afterwards.

#include <memory>
#include <string>

#include "web/EventHub.h"
#include "web/FileIndex.h"
#include "web/FileRoutes.h"
#include "web/LiveEvents.h"
#include "web/WebConfig.h"
#include "web/WebServer.h"

class WebPage {
public:
    explicit WebPage(const WebConfig& config)
        : index_(config.dataFolder),
          live_(hub_, index_),
          routes_(index_),
          server_(config, routes_, live_, hub_) {}

    ReceiverEvents& Events() { return live_; }
    // What the page shows of the hand-off; before Start only.
    void Forward(const handoff::Forwarder* forwarder) { routes_.Forward(forwarder); }
    bool Start(std::string& error) { return server_.Start(error); }
    void Stop() { server_.Stop(); }

private:
    EventHub hub_;
    FileIndex index_;
    LiveEvents live_;
    FileRoutes routes_;
    WebServer server_;
};
