#include "web/Admission.h"

#include "web/Token.h"
#include "web/WebAddress.h"

namespace {

// Asked for by browsers that meet a page needing the token, so it uses no script at all.
constexpr char kTokenForm[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>OrbTray</title></head><body>\n"
    "<form method=\"get\" action=\"/\"><p>This page needs its access token.</p>\n"
    "<input name=\"token\" type=\"password\" autocomplete=\"current-password\" autofocus>\n"
    "<button type=\"submit\">Open</button></form>\n</body></html>\n";

std::string PercentEncoded(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
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

bool OwnPage(std::string_view path) {
    return path == "/" || path == "/file";
}

// The data and the work of reading it; the page's own pages and files may be opened from
// anywhere, as a link or a bookmark does.
bool DataPath(std::string_view path) {
    return path.starts_with("/api/") || path == "/download";
}

// The token given in the query, or the cookie when there is none in the query.
std::optional<Reply> CheckToken(const Served& served, const AskedFor& asked) {
    if (served.token.empty()) {
        return std::nullopt;
    }
    const auto given = asked.query.find("token");
    if (given != asked.query.end() && SameToken(given->second, served.token)) {
        // The token leaves the address bar (and the history) at once; the cookie carries it.
        const std::string location = TokenRedirect(asked.path, asked.query);
        Reply reply = TextReply(303, "see " + location);
        reply.headers.emplace_back("Location", location);
        reply.headers.emplace_back("Set-Cookie", TokenCookieName(served.port) + "=" + served.token +
                                                     "; HttpOnly; SameSite=Strict; Path=/");
        return reply;
    }
    if (given == asked.query.end() && asked.cookie && SameToken(*asked.cookie, served.token)) {
        return std::nullopt;
    }
    Reply reply;
    reply.status = 401;
    if (OwnPage(asked.path)) {
        reply.type = "text/html; charset=utf-8";
        reply.body = kTokenForm;
    } else {
        reply.body = "the access token is needed\n";
    }
    return reply;
}

// ":9394". Appended rather than concatenated: GCC 12 warns, wrongly, of an overlapping copy in
// `":" + std::to_string(...)` once it is inlined.
std::string PortSuffix(std::uint16_t port) {
    std::string suffix = ":";
    suffix += std::to_string(port);
    return suffix;
}

}  // namespace

bool IsServedMethod(std::string_view method) {
    return method == "GET" || method == "HEAD";
}

bool KnownHost(const Served& served, std::string_view host) {
    const std::string port = PortSuffix(served.port);
    const std::string given = Lowered(host);
    const auto matches = [&](const std::string& name) {
        const std::string lowered = Lowered(name);
        return given == lowered || given == lowered + port;
    };
    if (matches(UrlHost(served.host)) || matches("localhost") ||
        (!served.boundHost.empty() && matches(served.boundHost))) {
        return true;
    }
    for (const std::string& name : served.names) {
        if (matches(name)) {
            return true;
        }
    }
    return false;
}

// Browsers say where a request comes from: Sec-Fetch-Site (all current ones) and Origin (on
// fetches other than same-origin GETs). Either naming another site counts, so a page elsewhere
// cannot make the browser read the data even where no token is asked for.
bool CrossSite(const Served& served, std::optional<std::string_view> fetchSite,
               std::optional<std::string_view> origin) {
    if (fetchSite && *fetchSite != "same-origin" && *fetchSite != "none") {
        return true;
    }
    if (!origin) {
        return false;
    }
    constexpr std::string_view kScheme = "http://";
    if (!origin->starts_with(kScheme)) {
        return true;
    }
    // An origin names its port unless it is the scheme's own.
    const std::string_view host = origin->substr(kScheme.size());
    const std::string port = PortSuffix(served.port);
    return !KnownHost(served, host) || (served.port != 80 && !host.ends_with(port));
}

std::string TokenCookieName(std::uint16_t port) {
    return "orbtray_token_" + std::to_string(port);
}

std::string TokenRedirect(std::string_view path, const Query& query) {
    // A path of the asker's choosing could lead elsewhere ("//evil.example/").
    if (!OwnPage(path)) {
        return "/";
    }
    std::string location(path);
    char separator = '?';
    for (const auto& [key, value] : query) {
        if (key != "token") {
            location += separator + PercentEncoded(key) + "=" + PercentEncoded(value);
            separator = '&';
        }
    }
    return location;
}

std::optional<Reply> Admit(const Served& served, const AskedFor& asked) {
    // A page of another name reaching us (DNS rebinding) must not read the files.
    if (!asked.host || !KnownHost(served, *asked.host)) {
        return TextReply(421, "unknown host");
    }
    if (!IsServedMethod(asked.method)) {
        Reply reply = TextReply(405, kMethodRefused);
        reply.headers.emplace_back("Allow", kServedMethods);
        return reply;
    }
    if (DataPath(asked.path) && CrossSite(served, asked.fetchSite, asked.origin)) {
        return TextReply(403, "requests from other sites are refused");
    }
    return CheckToken(served, asked);
}
