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

#include "platform/Socket.h"
#include "web/Assets.h"
#include "web/EventHub.h"
#include "web/LiveEvents.h"

namespace {

constexpr char kNoStore[] = "no-store";
constexpr char kStaticCache[] = "max-age=3600";

// Asked for by browsers that meet a page needing the token, so it uses no script at all.
constexpr char kTokenForm[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>OrbTray</title></head><body>\n"
    "<form method=\"get\" action=\"/\"><p>This page needs its access token.</p>\n"
    "<input name=\"token\" type=\"password\" autocomplete=\"current-password\" autofocus>\n"
    "<button type=\"submit\">Open</button></form>\n</body></html>\n";

void AddCommonHeaders(MHD_Response* response, const char* cacheControl) {
    for (const HeaderField& field : kCommonHeaders) {
        MHD_add_response_header(response, field.name, field.value);
    }
    MHD_add_response_header(response, "Cache-Control", cacheControl);
}

MHD_Result Send(MHD_Connection* connection, Reply reply, const char* cacheControl) {
    MHD_Response* response = reply.fd >= 0
                                 ? MHD_create_response_from_fd64(reply.fdSize, reply.fd)
                                 : MHD_create_response_from_buffer(
                                       reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        if (reply.fd >= 0) {
            ::close(reply.fd);
        }
        return MHD_NO;
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

// Compares in time independent of where the texts differ, so the token cannot be guessed a
// byte at a time.
bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return difference == 0 && !b.empty();
}

std::string PercentEncoded(std::string_view text, bool keepSlash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace

WebServer::WebServer(const WebConfig& config, FileRoutes& files, LiveEvents& live, EventHub& hub)
    : config_(config),
      files_(files),
      live_(live),
      hub_(hub),
      // Named after the port, so two receivers on one host keep apart the tokens they set.
      cookie_("orbtray_token_" + std::to_string(config.port)),
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
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0) {
        const void* address =
            bound.ss_family == AF_INET6
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&bound)->sin6_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&bound)->sin_addr);
        if (::inet_ntop(bound.ss_family, address, text, sizeof text) != nullptr) {
            boundHost_ = UrlHost(text);
        }
    }
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
    gate_.Start(fd);
    hub_.Start();
    return true;
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
    const std::string_view verb = method;
    const bool readOnly = verb == "GET" || verb == "HEAD";
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

bool WebServer::KnownHost(std::string_view host) const {
    std::string port(1, ':');
    port += std::to_string(config_.port);
    const std::string given = Lowered(host);
    const auto matches = [&](const std::string& name) {
        const std::string lowered = Lowered(name);
        return given == lowered || given == lowered + port;
    };
    if (matches(UrlHost(config_.host)) || matches("localhost") ||
        (!boundHost_.empty() && matches(boundHost_))) {
        return true;
    }
    for (const std::string& name : config_.hosts) {
        if (matches(name)) {
            return true;
        }
    }
    return false;
}

// Browsers say where a request comes from: Sec-Fetch-Site (all current ones) and Origin (on
// fetches other than same-origin GETs). Either naming another site ends the request, so a page
// elsewhere cannot make the browser read the data even where no token is asked for.
bool WebServer::CrossSite(MHD_Connection* connection) const {
    const char* site = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
    if (site != nullptr && std::string_view(site) != "same-origin" &&
        std::string_view(site) != "none") {
        return true;
    }
    const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    if (origin == nullptr) {
        return false;
    }
    const std::string_view text = origin;
    const std::string_view scheme = "http://";
    if (!text.starts_with(scheme)) {
        return true;
    }
    // An origin names its port unless it is the scheme's own.
    const std::string_view host = text.substr(scheme.size());
    const std::string port = ":" + std::to_string(config_.port);
    return !KnownHost(host) || (config_.port != 80 && !host.ends_with(port));
}

bool WebServer::Admitted(MHD_Connection* connection, std::string_view path, const Query& query,
                         MHD_Result& queued) {
    if (config_.token.empty()) {
        return true;
    }
    const auto given = query.find("token");
    if (given != query.end() && SameSecret(given->second, config_.token)) {
        // The token leaves the address bar (and the history) at once; the cookie carries it.
        // Only to the page's own pages: a path of the asker's choosing could lead elsewhere.
        const bool own = path == "/" || path == "/file";
        std::string location = own ? std::string(path) : "/";
        char separator = '?';
        for (const auto& [key, value] : query) {
            if (own && key != "token") {
                location +=
                    separator + PercentEncoded(key, false) + "=" + PercentEncoded(value, false);
                separator = '&';
            }
        }
        Reply reply = TextReply(303, "see " + location);
        reply.headers.emplace_back("Location", location);
        reply.headers.emplace_back(
            "Set-Cookie", cookie_ + "=" + config_.token + "; HttpOnly; SameSite=Strict; Path=/");
        queued = Send(connection, std::move(reply), kNoStore);
        return false;
    }
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, cookie_.c_str());
    if (given == query.end() && cookie != nullptr && SameSecret(cookie, config_.token)) {
        return true;
    }
    Reply reply;
    reply.status = 401;
    if (path == "/" || path == "/file") {
        reply.type = "text/html; charset=utf-8";
        reply.body = kTokenForm;
    } else {
        reply.body = "the access token is needed\n";
    }
    queued = Send(connection, std::move(reply), kNoStore);
    return false;
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
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    // A page of another name reaching us (DNS rebinding) must not read the files.
    if (host == nullptr || !KnownHost(host)) {
        return Send(connection, TextReply(421, "unknown host"), kNoStore);
    }
    if (method != "GET" && method != "HEAD") {
        Reply reply = TextReply(405, "only GET and HEAD are served");
        reply.headers.emplace_back("Allow", "GET, HEAD");
        return Send(connection, std::move(reply), kNoStore);
    }
    // The data and the work of reading it are the page's alone; its own pages and files may be
    // opened from anywhere, as a link or a bookmark does.
    if ((path.starts_with("/api/") || path == "/download") && CrossSite(connection)) {
        return Send(connection, TextReply(403, "requests from other sites are refused"), kNoStore);
    }
    Query query;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument, &query);
    MHD_Result queued = MHD_NO;
    if (!Admitted(connection, path, query, queued)) {
        return queued;
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
    if (path == "/api/connections") {
        return JsonReply(live_.Connections());
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
                        : TextReply(503, "shutting down"),
                    kNoStore);
    }
    MHD_add_response_header(response, "Content-Type", "text/event-stream");
    AddCommonHeaders(response, kNoStore);
    const MHD_Result result = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return result;
}
