#pragma once

// The page's HTTP server: libmicrohttpd on a thread of its own (epoll), read-only, for the
// served address's own Host names only, behind a token when one is set, its data refused to
// other sites' pages. Connections reach it only through the ConnectionGate, which owns the
// listening socket; every answer closes its connection, so each request passes the gate.
// Routes answer on the server's thread; event streams are suspended connections held by the
// EventHub.
//
// Threads: Start and Stop run on the owner's thread; Access and Notify on the server's thread;
// the gate hands connections on from its own thread (MHD_add_connection is safe there).

#include <microhttpd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

#include "web/Admission.h"
#include "web/ConnectionGate.h"
#include "web/FileRoutes.h"
#include "web/WebConfig.h"

class EventHub;
class LiveEvents;

class WebServer {
public:
    WebServer(const WebConfig& config, FileRoutes& files, LiveEvents& live, EventHub& hub);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving; false with `error` saying why.
    [[nodiscard]] bool Start(std::string& error);
    void Stop();

    // A connection that neither sends nor takes a byte for this long is closed. Not shorter:
    // the library also closes, unanswered, a request whose own handling took this long, as a
    // large file's first plot may on a loaded machine. A client that stops taking its answer
    // loses its place to a newcomer sooner (ConnectionGate::kStalled).
    static constexpr unsigned kIdleTimeoutSeconds = 30;
    // Answers held in memory until their clients have taken them, all together: clients that
    // ask and never read cannot make the process large. Beyond it a request is answered 503;
    // a single answer of any size still goes out when nothing else is held.
    static constexpr std::size_t kHeldAnswerBytes = 16 * 1024 * 1024;

private:
    static MHD_Result Access(void* server, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char* upload,
                             std::size_t* uploadSize, void** state);
    static void Notify(void* server, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code);
    MHD_Result Handle(MHD_Connection* connection, std::string_view path, std::string_view method);
    MHD_Result Serve(MHD_Connection* connection, std::string_view path, std::string_view method);
    Reply Route(std::string_view path, const Query& query);
    MHD_Result OpenEvents(MHD_Connection* connection);
    MHD_Result Send(MHD_Connection* connection, Reply reply, const char* cacheControl);

    const WebConfig config_;
    FileRoutes& files_;
    LiveEvents& live_;
    EventHub& hub_;
    Served served_;       // its bound address is set once the socket is bound
    std::string cookie_;  // the token cookie's name, one per port
    MHD_Daemon* daemon_ = nullptr;
    ConnectionGate gate_;
    // Bytes of the answers queued and not yet freed by the server; freed on any thread the
    // server lets a response go on.
    std::atomic<std::size_t> held_{0};
};
