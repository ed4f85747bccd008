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
#include <memory>
#include <optional>

#include "platform/Socket.h"
#include "web/Admission.h"
#include "web/Assets.h"
#include "web/EventHub.h"
#include "web/LiveEvents.h"
#include "web/RequestHead.h"

namespace {

constexpr char kNoStore[] = "no-store";
constexpr char kStaticCache[] = "max-age=3600";

void AddCommonHeaders(MHD_Response* response, const char* cacheControl) {
    for (const HeaderField& field : kCommonHeaders) {
        MHD_add_response_header(response, field.name, field.value);
    }
    MHD_add_response_header(response, "Cache-Control", cacheControl);
}

// Answers up to this size, refusals among them, go out whatever is held: they cost little.
constexpr std::size_t kSmallAnswer = 4096;

// What a table or a plot answers at most, about.
constexpr std::size_t kLargeAnswer = 2 * 1024 * 1024;

Reply Busy() {
    Reply busy = TextReply(503, "the page is busy, try again");
    busy.headers.emplace_back("Retry-After", "1");
    return busy;
}

// An answer's body, given to the server without a copy and counted against the held answers
// until the server frees it.
struct HeldBody {
    std::string bytes;
    std::atomic<std::size_t>& held;
};

void FreeHeldBody(void* body) {
    auto* held = static_cast<HeldBody*>(body);
    held->held -= held->bytes.size();
    delete held;
}

// A file's bytes as the server asks for them. A file that is shorter than it was when the answer
// began (cut while it is downloaded) ends the answer at once: the client sees it cut short
// instead of waiting for bytes that never come.
constexpr std::size_t kFileBlock = 32 * 1024;

ssize_t ReadFileBlock(void* file, std::uint64_t at, char* buffer, std::size_t size) {
    const long got = static_cast<platform::File*>(file)->ReadAt(at, buffer, size);
    return got > 0 ? static_cast<ssize_t>(got) : MHD_CONTENT_READER_END_WITH_ERROR;
}

void CloseFile(void* file) {
    delete static_cast<platform::File*>(file);
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

MHD_Result WebServer::Send(MHD_Connection* connection, Reply reply, const char* cacheControl) {
    MHD_Response* response = nullptr;
    if (reply.file) {
        response = MHD_create_response_from_callback(reply.fileSize, kFileBlock, &ReadFileBlock,
                                                     reply.file.get(), &CloseFile);
        if (response != nullptr) {
            // The response closes the file from now on.
            (void)reply.file.release();
        }
    } else {
        auto body = std::make_unique<HeldBody>(HeldBody{std::move(reply.body), held_});
        const std::size_t size = body->bytes.size();
        const std::size_t before = held_.fetch_add(size);
        if (size > kSmallAnswer && before > 0 && before + size > kHeldAnswerBytes) {
            held_ -= size;
            return Send(connection, Busy(), kNoStore);
        }
        // From here the body is freed, and uncounted, with the response.
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            size, body->bytes.data(), &FreeHeldBody, body.get());
        if (response == nullptr) {
            FreeHeldBody(body.release());
        } else {
            (void)body.release();
        }
    }
    if (response == nullptr) {
        return MHD_NO;  // a file the reply still owns is closed with it
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
                         MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds,
                         MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_END);
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
    // Answered at the first call: the gate lets through only heads without a body, and every
    // answer closes its connection. An answer queued at once also keeps the library from
    // sending an interim "100 Continue" of its own to a request that asked for one.
    if (*state != nullptr) {
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
    // Refused before any work when the answer could not be held anyway.
    if (held_ > 0 && held_ + kLargeAnswer > kHeldAnswerBytes) {
        return Send(connection, Busy(), kNoStore);
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
