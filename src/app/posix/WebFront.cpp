#include "app/posix/WebFront.h"

#include <cstdio>
#include <optional>

#include "web/WebAddress.h"
#include "web/WebPage.h"

WebFront::WebFront() = default;
WebFront::~WebFront() = default;

bool WebFront::Configure(const CommandLine& line, const std::string& dataFolder,
                         std::string& error) {
    if (line.web == "off") {
        return true;
    }
    WebConfig config;
    config.dataFolder = dataFolder;
    config.hosts = line.webHosts;
    addressGiven_ = !line.web.empty();
    const std::optional<WebAddress> address =
        ParseWebAddress(addressGiven_ ? line.web : kDefaultWebAddress);
    if (!address) {
        error = "--web must be ADDR:PORT or off, not '" + line.web + "'";
        return false;
    }
    config.host = address->host;
    config.port = address->port;
    if (!line.webTokenFile.empty() && !ReadWebToken(line.webTokenFile, config.token, error)) {
        return false;
    }
    loopback_ = IsLoopbackHost(config.host);
    if (!loopback_ && config.token.empty()) {
        error = "--web " + line.web +
                " would show the readings to the whole network: give --web-token FILE too";
        return false;
    }
    url_ = "http://" + UrlHost(config.host) + ":" + std::to_string(config.port) + "/";
    page_ = std::make_unique<WebPage>(config);
    return true;
}

ReceiverEvents* WebFront::Events() {
    return page_ ? &page_->Events() : nullptr;
}

void WebFront::Forward(const handoff::Forwarder* forwarder) {
    if (page_) {
        page_->Forward(forwarder);
    }
}

bool WebFront::Start() {
    if (!page_) {
        return true;
    }
    std::string error;
    if (!page_->Start(error)) {
        std::fprintf(stderr, "orbtray: %s%s\n", error.c_str(),
                     addressGiven_ ? "" : "; going on without the web page");
        return !addressGiven_;
    }
    std::printf("orbtray: web page at %s\n", url_.c_str());
    std::fflush(stdout);
    if (!loopback_) {
        std::fprintf(stderr,
                     "orbtray: the web page is served beyond this machine: anyone on that "
                     "network who has the token can read the readings\n");
    }
    return true;
}

void WebFront::Stop() {
    if (page_) {
        page_->Stop();
    }
}
