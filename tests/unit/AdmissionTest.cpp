// Who the web page answers, as a browser would see it: the status and text of each refusal, and
// where the token leads with which cookie. That each refusal really reaches a browser, with the
// page's headers, is shown with the real program (integration/WebTest).

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "web/Admission.h"
#include "web/Token.h"

namespace {

const Served kOpen{"127.0.0.1", 9394, {"orbtray.lan"}, "127.0.0.1", ""};
const Served kSix{"::1", 9394, {}, "[::1]", ""};
// Served under a name: the address it was bound to is its own too.
const Served kNamed{"orbtray.example", 9394, {}, "192.0.2.7", ""};
const Served kGuarded{"127.0.0.1", 9394, {}, "127.0.0.1", "s3cret"};

constexpr char kCookie[] =
    "Set-Cookie: orbtray_token_9394=s3cret; HttpOnly; SameSite=Strict; Path=/";

struct Row {
    const Served* served = &kOpen;
    std::string_view method = "GET";
    std::string_view path = "/api/files";
    Query query = {};
    std::optional<std::string_view> host = "127.0.0.1:9394";
    std::optional<std::string_view> site = {};
    std::optional<std::string_view> origin = {};
    std::optional<std::string_view> cookie = {};
    std::string seen;  // "admitted", or the status, the text and the headers
};

std::string Seen(const std::optional<Reply>& reply) {
    if (!reply) {
        return "admitted";
    }
    std::string seen = std::to_string(reply->status) + " ";
    seen += reply->type.starts_with("text/html") ? "(the token form)"
                                                 : reply->body.substr(0, reply->body.size() - 1);
    for (const auto& [name, value] : reply->headers) {
        seen += " | " + name + ": " + value;
    }
    return seen;
}

TEST(Admission, AnswersEachRequestAsTheBrowserSeesIt) {
    const std::string ok = "admitted", unknown = "421 unknown host";
    const std::string readOnly = "405 only GET and HEAD are served | Allow: GET, HEAD";
    const std::string other = "403 requests from other sites are refused";
    const std::string form = "401 (the token form)", needed = "401 the access token is needed";
    const auto to = [](const std::string& where) {
        return "303 see " + where + " | Location: " + where + " | " + kCookie;
    };
    const Served* const guarded = &kGuarded;
    const Query right = {{"token", "s3cret"}};
    const Row rows[] = {
        // The Host must name the page: DNS rebinding brings another name.
        {.seen = ok},
        {.host = "127.0.0.1", .seen = ok},
        {.host = "LocalHost", .seen = ok},
        {.host = "ORBTRAY.lan:9394", .seen = ok},
        {.host = "evil.example", .seen = unknown},
        {.host = "evil.example:9394", .seen = unknown},
        {.host = "127.0.0.1:1", .seen = unknown},
        {.host = "127.0.0.1:9394x", .seen = unknown},
        {.host = "localhost.evil.example", .seen = unknown},
        {.host = std::nullopt, .seen = unknown},
        {.served = &kSix, .host = "[::1]:9394", .seen = ok},
        {.served = &kSix, .host = "[::1]", .seen = ok},
        {.served = &kSix, .host = "::1", .seen = unknown},
        {.served = &kSix, .host = "[::1]:1", .seen = unknown},
        {.served = &kNamed, .host = "192.0.2.7:9394", .seen = ok},
        {.served = &kNamed, .host = "orbtray.example", .seen = ok},
        // Read-only; the Host is judged first.
        {.method = "HEAD", .seen = ok},
        {.method = "POST", .seen = readOnly},
        {.method = "get", .seen = readOnly},
        {.method = "POST", .host = "evil.example", .seen = unknown},
        // Another site's page may link to the page, but not have the browser read its data.
        {.site = "same-origin", .seen = ok},
        {.site = "none", .seen = ok},
        {.site = "same-site", .seen = other},
        {.path = "/api/plot", .site = "cross-site", .seen = other},
        {.path = "/download", .site = "cross-site", .seen = other},
        {.path = "/", .site = "cross-site", .seen = ok},
        {.path = "/dygraph.min.css", .site = "cross-site", .seen = ok},
        {.origin = "http://127.0.0.1:9394", .seen = ok},
        {.origin = "http://orbtray.lan:9394", .seen = ok},
        {.origin = "http://evil.example", .seen = other},
        {.origin = "http://evil.example:9394", .seen = other},
        {.origin = "null", .seen = other},
        {.origin = "http://127.0.0.1", .seen = other},
        {.origin = "https://127.0.0.1:9394", .seen = other},
        {.site = "same-origin", .origin = "http://evil.example", .seen = other},
        // The token, by query or cookie; another site is refused before it is asked for.
        {.served = guarded, .path = "/", .seen = form},
        {.served = guarded, .path = "/file", .seen = form},
        {.served = guarded, .seen = needed},
        {.served = guarded, .path = "/dygraph.min.js", .seen = needed},
        {.served = guarded, .site = "cross-site", .seen = other},
        {.served = guarded, .path = "/", .query = {{"token", "wrong"}}, .seen = form},
        {.served = guarded, .path = "/", .query = {{"token", "s3cret-"}}, .seen = form},
        {.served = guarded, .path = "/", .query = {{"token", "s3cre"}}, .seen = form},
        {.served = guarded, .cookie = "s3cret", .seen = ok},
        {.served = guarded, .cookie = "s3cre", .seen = needed},
        {.served = guarded, .cookie = "", .seen = needed},
        {.served = guarded, .query = {{"token", "wrong"}}, .cookie = "s3cret", .seen = needed},
        // The right token leads on, without itself, to the page's own pages only.
        {.served = guarded,
         .path = "/file",
         .query = {{"dir", "1 2"}, {"token", "s3cret"}, {"name", "a.csv"}},
         .seen = to("/file?dir=1%202&name=a.csv")},
        {.served = guarded,
         .path = "/",
         .query = {{"token", "s3cret"}, {"a&b", "c/d"}, {"e", ""}},
         .seen = to("/?a%26b=c%2Fd&e=")},
        {.served = guarded, .path = "/%2Fevil.example/x", .query = right, .seen = to("/")},
        {.served = guarded, .path = "//evil.example/", .query = right, .seen = to("/")},
        {.served = guarded, .query = right, .cookie = "s3cret", .seen = to("/")},
    };
    for (const Row& row : rows) {
        const AskedFor asked{row.method, row.path,   row.query, row.host,
                             row.site,   row.origin, row.cookie};
        EXPECT_EQ(Seen(Admit(*row.served, asked)), row.seen)
            << row.method << " " << row.path << " Host " << row.host.value_or("(none)") << " site "
            << row.site.value_or("-") << " origin " << row.origin.value_or("-") << " cookie "
            << row.cookie.value_or("-");
    }
}

// What a token file's text gives: its first line, trimmed, usable only if a cookie can carry it.
TEST(Admission, TakesTheTokenFromItsFileOnlyWhereACookieCanCarryIt) {
    const struct {
        std::string_view text;
        std::string_view token;
        bool usable;
    } rows[] = {
        {"s3cret\n", "s3cret", true},
        {" \ts3cret \r\nsecond line\n", "s3cret", true},
        {"!#$%&'()*+-./:<=>?@[]^_`{|}~", "!#$%&'()*+-./:<=>?@[]^_`{|}~", true},
        {" \r\n", "", false},
        {"s3c ret", "s3c ret", false},
        {"s3c;ret", "s3c;ret", false},
        {"a,b", "a,b", false},
        {"a\"b", "a\"b", false},
        {"a\\b", "a\\b", false},
        {"caf\xc3\xa9", "caf\xc3\xa9", false},
        {"a\x7f", "a\x7f", false},
    };
    for (const auto& row : rows) {
        const std::string_view token = TokenFromText(row.text);
        EXPECT_EQ(token, row.token) << row.text;
        EXPECT_EQ(!token.empty() && std::all_of(token.begin(), token.end(), IsTokenCharacter),
                  row.usable)
            << row.text;
    }
}

}  // namespace
