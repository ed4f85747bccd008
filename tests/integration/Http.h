#pragma once

// A minimal HTTP/1.1 client over 127.0.0.1 for the web page's tests: one request per connection,
// and an event stream read as it comes.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/Socket.h"

struct HttpReply {
    int status = 0;  // 0: no answer at all (the connection was closed or timed out)
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

struct HttpRequest {
    explicit HttpRequest(std::string path = "/", std::string verb = "GET")
        : target(std::move(path)), method(std::move(verb)) {}
    std::string target;
    std::string method;
    std::string host;                  // empty: "127.0.0.1:PORT"
    std::vector<std::string> headers;  // "Name: value"
    bool sendHost = true;
    std::chrono::milliseconds timeout{60000};
};

HttpReply Http(std::uint16_t port, const HttpRequest& request);

// What the server sent for `bytes` until it closed the connection (`closed`) or `timeout`
// passed without a byte.
struct Exchanged {
    std::string bytes;
    bool closed = false;
};
Exchanged Exchange(std::uint16_t port, const std::string& bytes, std::chrono::milliseconds timeout);
// An answer as the client above reads it; status 0 when it is not one.
HttpReply ParseReply(const std::string& bytes);
inline HttpReply Get(std::uint16_t port, const std::string& target) {
    return Http(port, HttpRequest(target));
}

// Checks the headers every answer carries, the page's own and its refusals alike.
void ExpectGuarded(const std::string& what, HttpReply reply);

// `text` as a query parameter carries it: every byte but letters, digits, '-', '_' and '.' as %XX.
std::string UrlEncoded(const std::string& text);

// An open /api/events stream.
class EventStream {
public:
    explicit EventStream(std::uint16_t port);
    bool Connected() const { return connected_; }
    // Reads until `text` has arrived (true) or `limit` has passed (false).
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit);
    const std::string& Received() const { return received_; }

private:
    platform::Socket socket_;
    std::string received_;
    bool connected_ = false;
};
