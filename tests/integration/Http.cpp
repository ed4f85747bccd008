#include "integration/Http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "fakes/Loopback.h"

namespace {

std::string Request(std::uint16_t port, const HttpRequest& request) {
    std::string text = request.method + " " + request.target + " HTTP/1.1\r\n";
    if (request.sendHost) {
        text +=
            "Host: " + (request.host.empty() ? "127.0.0.1:" + std::to_string(port) : request.host) +
            "\r\n";
    }
    for (const std::string& header : request.headers) {
        text += header + "\r\n";
    }
    return text + "Connection: close\r\n\r\n";
}

}  // namespace

Exchanged Exchange(std::uint16_t port, const std::string& bytes,
                   std::chrono::milliseconds timeout) {
    Exchanged result;
    platform::Socket socket = ConnectWithRetry(port);
    if (!socket.IsValid()) {
        return result;
    }
    socket.SetReceiveTimeout(static_cast<int>(timeout.count()));
    Send(socket, bytes);
    char buffer[65536];
    for (;;) {
        const platform::IoResult got = socket.Receive(buffer, sizeof buffer);
        if (got.status != platform::IoStatus::Ok || got.count == 0) {
            // A receive time-out is EAGAIN; a reset closes as surely as a FIN.
            result.closed = got.status == platform::IoStatus::Closed ||
                            (got.status == platform::IoStatus::Failed && got.error != EAGAIN &&
                             got.error != EWOULDBLOCK);
            return result;
        }
        result.bytes.append(buffer, got.count);
    }
}

HttpReply ParseReply(const std::string& bytes) {
    HttpReply reply;
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos || bytes.compare(0, 9, "HTTP/1.1 ") != 0) {
        return reply;
    }
    reply.status = std::stoi(bytes.substr(9, 3));
    std::size_t at = bytes.find("\r\n") + 2;
    while (at < end) {
        const std::size_t next = bytes.find("\r\n", at);
        const std::string line = bytes.substr(at, next - at);
        const std::size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
        at = next + 2;
    }
    reply.body = bytes.substr(end + 4);
    return reply;
}

HttpReply Http(std::uint16_t port, const HttpRequest& request) {
    // The default is generous: a plot of a million lines under ThreadSanitizer beside busy loops
    // takes seconds, and no test waits for a reply that is not to come.
    return ParseReply(Exchange(port, Request(port, request), request.timeout).bytes);
}

void ExpectGuarded(const std::string& what, HttpReply reply) {
    EXPECT_TRUE(reply.headers["content-security-policy"].starts_with("default-src 'self'")) << what;
    EXPECT_FALSE(reply.headers["content-type"].empty()) << what;
    for (const auto& [name, value] :
         std::map<std::string, std::string>{{"connection", "close"},
                                            {"x-content-type-options", "nosniff"},
                                            {"cache-control", "no-store"},
                                            {"referrer-policy", "no-referrer"}}) {
        EXPECT_EQ(reply.headers[name], value) << what << ": " << name;
    }
}

std::string UrlEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

EventStream::EventStream(std::uint16_t port) : socket_(ConnectWithRetry(port)) {
    Send(socket_, Request(port, HttpRequest("/api/events")));
    connected_ = WaitFor(": connected\n\n", std::chrono::seconds(10)) &&
                 received_.starts_with("HTTP/1.1 200");
}

bool EventStream::WaitFor(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (received_.find(text) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        socket_.SetReceiveTimeout(static_cast<int>(left.count()) + 1);
        const platform::IoResult got = socket_.Receive(buffer, sizeof buffer);
        if (got.status != platform::IoStatus::Ok || got.count == 0) {
            return false;
        }
        received_.append(buffer, got.count);
    }
    return true;
}
