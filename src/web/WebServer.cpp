#include "web/WebServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>

#include "platform/Socket.h"
#include "web/Admission.h"
#include "web/Assets.h"
#include "web/EventHub.h"
#include "web/LiveEvents.h"

namespace {

constexpr char kNoStore[] = "no-store";
constexpr char kStaticCache[] = "max-age=3600";

void AddCommonHeaders(MHD_Response* response, const char* cacheControl) {
    for (const HeaderField& field : kCommonHeaders) {
        MHD_add_response_header(response, field.name, field.value);
    }
    MHD_add_response_header(response, "Cache-Control", cacheControl);
}

MHD_Result Send(MHD_Connection* connection, Reply reply, const char* cacheControl) {
    MHD_Response* response =
        reply.file
            ? MHD_create_response_from_fd64(reply.fileSize, static_cast<int>(reply.file->Handle()))
            : MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                              MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;  // the reply still owns its file and closes it
    }
    if (reply.file) {
        // The response closes the descriptor from now on.
        reply.file->Release();
    }
    MHD_add_response_header(response, "Content-Type", reply.type.c_str());
    AddCommonHeaders(response, cacheControl);
    for (const auto& [name, value] : reply.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result CollectArgument(void* query, MHD_ValueKind, const char* key, std::size_t keySize,
                           const char* value, std::size_t valueSize) {
    static_cast<Query*>(query)->emplace(std::string(key, keySize),
                                        value != nullptr ? std::string(value, valueSize) : "");
    return MHD_YES;
}

std::optional<std::string_view> Lookup(MHD_Connection* connection, MHD_ValueKind kind,
                                       const char* name) {
    const char* value = MHD_lookup_connection_value(connection, kind, name);
    return value != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
}

}  // namespace

WebServer::WebServer(const WebConfig& config, FileRoutes& files, LiveEvents& live, EventHub& hub)
    : config_(config),
      files_(files),
      live_(live),
      hub_(hub),
      served_{config.host, config.port, config.hosts, "", config.token},
      cookie_(TokenCookieName(config.port)),
      gate_([this](int fd, const sockaddr* peer, socklen_t peerSize) {
          return MHD_add_connection(daemon_, fd, peer, peerSize) == MHD_YES;
      }) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(std::string& error) {
    // Bound here rather than by the library, which would not say why a bind failed.
    const std::string where = UrlHost(config_.host) + ":" + std::to_string(config_.port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const int lookup =
        ::getaddrinfo(config_.host.c_str(), std::to_string(config_.port).c_str(), &hints, &found);
    if (lookup != 0) {
        error = "cannot serve the web page on " + where + ": " + ::gai_strerror(lookup);
        return false;
    }
    int fd = -1;
    int failure = 0;
    for (const addrinfo* each = found; each != nullptr && fd < 0; each = each->ai_next) {
        fd = ::socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol);
        const int on = 1;
        if (fd >= 0 && (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                        ::bind(fd, each->ai_addr, each->ai_addrlen) != 0 ||
                        ::listen(fd, static_cast<int>(ConnectionGate::kTotal)) != 0)) {
            failure = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        error = "cannot serve the web page on " + where + ": " + platform::SocketErrorText(failure);
        return false;
    }
    // The address a name led to is as much the page's own as the name: a page of another site
    // can only reach it under a name of its own, never under the bare address.
    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    char text[INET6_ADDRSTRLEN] = "";
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) != 0) {
        error = "cannot serve the web page on " + where + ": " + platform::SocketErrorText(errno);
        ::close(fd);
        return false;
    }
    const void* address =
        bound.ss_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&bound)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&bound)->sin_addr);
    if (::inet_ntop(bound.ss_family, address, text, sizeof text) == nullptr) {
        error = "cannot serve the web page on " + where + ": " + platform::SocketErrorText(errno);
        ::close(fd);
        return false;
    }
    served_.boundHost = UrlHost(text);
    // The gate keeps the count; the server's own limit only leaves room for the moment between
    // a connection's close being reported and the server forgetting it.
    daemon_ =
        MHD_start_daemon(MHD_USE_NO_LISTEN_SOCKET | MHD_USE_INTERNAL_POLLING_THREAD |
                             MHD_USE_EPOLL | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME,
                         0, nullptr, nullptr, &Access, this, MHD_OPTION_NOTIFY_CONNECTION, &Notify,
                         this, MHD_OPTION_CONNECTION_LIMIT, unsigned(ConnectionGate::kTotal * 2),
                         MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(fd);
        error = "cannot serve the web page on " + where + ": the HTTP server did not start";
        return false;
    }
    std::string why;
    if (!hub_.Start(why)) {
        ::close(fd);
    } else if (gate_.Start(fd, why)) {  // the gate takes the socket even when it fails
        return true;
    }
    error = "cannot serve the web page on " + where + ": " + why;
    Stop();
    return false;
}

void WebServer::Stop() {
    if (daemon_ != nullptr) {
        gate_.Stop();
        // Suspended streams must be let go before the server may stop.
        hub_.CloseAll();
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

MHD_Result WebServer::Access(void* server, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char*, std::size_t* uploadSize,
                             void** state) {
    const bool readOnly = IsServedMethod(method);
    // A GET is answered at the second call, once the library knows the request is complete, so
    // the connection can be kept for the next one. Anything else is refused at once: its body
    // is never read, and the library closes the connection instead.
    if (*state == nullptr && readOnly) {
        *state = server;
        return MHD_YES;
    }
    if (*state != nullptr && *uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    *state = server;
    return static_cast<WebServer*>(server)->Handle(connection, url, method);
}

void WebServer::Notify(void* server, MHD_Connection* connection, void** context,
                       MHD_ConnectionNotificationCode code) {
    auto& gate = static_cast<WebServer*>(server)->gate_;
    // The socket's number is kept with the connection: the gate knows its hand-offs by it.
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) {
            *context = reinterpret_cast<void*>(static_cast<std::intptr_t>(info->connect_fd) + 1);
            gate.Started(info->connect_fd, connection);
        }
    } else if (*context != nullptr) {
        gate.Closed(static_cast<int>(reinterpret_cast<std::intptr_t>(*context) - 1), connection);
    }
}

MHD_Result WebServer::Handle(MHD_Connection* connection, std::string_view path,
                             std::string_view method) {
    // Out of memory or a fault in one route: that request fails, the page goes on. An
    // exception must not cross into the library, which is C.
    try {
        return Serve(connection, path, method);
    } catch (const std::exception&) {
    }
    try {
        return Send(connection, TextReply(500, "the request failed"), kNoStore);
    } catch (const std::exception&) {
        return MHD_NO;  // the connection is closed without an answer
    }
}

MHD_Result WebServer::Serve(MHD_Connection* connection, std::string_view path,
                            std::string_view method) {
    Query query;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &query);
    const AskedFor asked{method,
                         path,
                         query,
                         Lookup(connection, MHD_HEADER_KIND, "Host"),
                         Lookup(connection, MHD_HEADER_KIND, "Sec-Fetch-Site"),
                         Lookup(connection, MHD_HEADER_KIND, "Origin"),
                         Lookup(connection, MHD_COOKIE_KIND, cookie_.c_str())};
    if (std::optional<Reply> refused = Admit(served_, asked)) {
        return Send(connection, std::move(*refused), kNoStore);
    }
    if (path == "/api/events") {
        if (method == "HEAD") {
            Reply reply;
            reply.type = "text/event-stream";
            return Send(connection, std::move(reply), kNoStore);
        }
        return OpenEvents(connection);
    }
    if (const EmbeddedFile* file = FindAsset(path)) {
        MHD_Response* response = MHD_create_response_from_buffer(
            file->size, const_cast<unsigned char*>(file->data), MHD_RESPMEM_PERSISTENT);
        if (response == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(response, "Content-Type", ContentTypeOf(file->name));
        AddCommonHeaders(response, kStaticCache);
        const MHD_Result result = MHD_queue_response(connection, 200, response);
        MHD_destroy_response(response);
        return result;
    }
    return Send(connection, Route(path, query), kNoStore);
}

Reply WebServer::Route(std::string_view path, const Query& query) {
    if (path == "/api/files") {
        return files_.Files(query);
    }
    if (path == "/api/file") {
        return files_.Table(query);
    }
    if (path == "/api/plot") {
        return files_.Plot(query);
    }
    if (path == "/download") {
        return files_.Download(query);
    }
    if (path == "/api/outbox") {
        return files_.Outbox();
    }
    if (path == "/api/connections") {
        return JsonReply(live_.Connections());
    }
    if (path == "/api/live") {
        return live_.Live(query);
    }
    return TextReply(404, "not found");
}

MHD_Result WebServer::OpenEvents(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const std::string address = info != nullptr ? AddressKey(info->client_addr) : "?";
    EventHub::Refusal refusal = EventHub::Refusal::None;
    MHD_Response* response = hub_.OpenStream(connection, address, refusal);
    if (response == nullptr) {
        return Send(connection,
                    refusal == EventHub::Refusal::Full
                        ? TextReply(503, "too many live views are open")
                    : refusal == EventHub::Refusal::Closing ? TextReply(503, "shutting down")
                                                            : TextReply(500, "the request failed"),
                    kNoStore);
    }
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    AddCommonHeaders(response, kNoStore);
    const MHD_Result result = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return result;
}
