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
    const std::string see = "303 see ";
    const std::string redirect = std::string(" | ") + kCookie;
    const Row rows[] = {
        // The Host must name the page: DNS rebinding brings another name.
        {.seen = "admitted"},
        {.host = "127.0.0.1", .seen = "admitted"},
        {.host = "LocalHost", .seen = "admitted"},
        {.host = "localhost:9394", .seen = "admitted"},
        {.host = "ORBTRAY.lan:9394", .seen = "admitted"},
        {.host = "evil.example", .seen = "421 unknown host"},
        {.host = "evil.example:9394", .seen = "421 unknown host"},
        {.host = "127.0.0.1:1", .seen = "421 unknown host"},
        {.host = "127.0.0.1:9394x", .seen = "421 unknown host"},
        {.host = "localhost.evil.example", .seen = "421 unknown host"},
        {.host = std::nullopt, .seen = "421 unknown host"},
        {.served = &kSix, .host = "[::1]:9394", .seen = "admitted"},
        {.served = &kSix, .host = "[::1]", .seen = "admitted"},
        {.served = &kSix, .host = "::1", .seen = "421 unknown host"},
        {.served = &kSix, .host = "[::1]:1", .seen = "421 unknown host"},
        {.served = &kNamed, .host = "192.0.2.7:9394", .seen = "admitted"},
        {.served = &kNamed, .host = "orbtray.example", .seen = "admitted"},
        // Read-only; the Host is judged first.
        {.method = "HEAD", .seen = "admitted"},
        {.method = "POST", .seen = "405 only GET and HEAD are served | Allow: GET, HEAD"},
        {.method = "get", .seen = "405 only GET and HEAD are served | Allow: GET, HEAD"},
        {.method = "POST", .host = "evil.example", .seen = "421 unknown host"},
        // Another site's page may link to the page, but not have the browser read its data.
        {.site = "same-origin", .seen = "admitted"},
        {.site = "none", .seen = "admitted"},
        {.site = "same-site", .seen = "403 requests from other sites are refused"},
        {.path = "/api/plot",
         .site = "cross-site",
         .seen = "403 requests from other sites are refused"},
        {.path = "/download",
         .site = "cross-site",
         .seen = "403 requests from other sites are refused"},
        {.path = "/", .site = "cross-site", .seen = "admitted"},
        {.path = "/dygraph.min.css", .site = "cross-site", .seen = "admitted"},
        {.origin = "http://127.0.0.1:9394", .seen = "admitted"},
        {.origin = "http://orbtray.lan:9394", .seen = "admitted"},
        {.origin = "http://evil.example", .seen = "403 requests from other sites are refused"},
        {.origin = "http://evil.example:9394", .seen = "403 requests from other sites are refused"},
        {.origin = "null", .seen = "403 requests from other sites are refused"},
        {.origin = "http://127.0.0.1", .seen = "403 requests from other sites are refused"},
        {.origin = "https://127.0.0.1:9394", .seen = "403 requests from other sites are refused"},
        {.site = "same-origin",
         .origin = "http://evil.example",
         .seen = "403 requests from other sites are refused"},
        // The token, by query or cookie; another site is refused before it is asked for.
        {.served = &kGuarded, .path = "/", .seen = "401 (the token form)"},
        {.served = &kGuarded, .path = "/file", .seen = "401 (the token form)"},
        {.served = &kGuarded, .seen = "401 the access token is needed"},
        {.served = &kGuarded, .path = "/dygraph.min.js", .seen = "401 the access token is needed"},
        {.served = &kGuarded,
         .site = "cross-site",
         .seen = "403 requests from other sites are refused"},
        {.served = &kGuarded,
         .path = "/",
         .query = {{"token", "wrong"}},
         .seen = "401 (the token form)"},
        {.served = &kGuarded,
         .path = "/",
         .query = {{"token", "s3cret-"}},
         .seen = "401 (the token form)"},
        {.served = &kGuarded,
         .path = "/",
         .query = {{"token", "s3cre"}},
         .seen = "401 (the token form)"},
        {.served = &kGuarded, .cookie = "s3cret", .seen = "admitted"},
        {.served = &kGuarded, .cookie = "s3cre", .seen = "401 the access token is needed"},
        {.served = &kGuarded, .cookie = "", .seen = "401 the access token is needed"},
        {.served = &kGuarded,
         .query = {{"token", "wrong"}},
         .cookie = "s3cret",
         .seen = "401 the access token is needed"},
        // The right token leads on, without itself, to the page's own pages only.
        {.served = &kGuarded,
         .path = "/file",
         .query = {{"dir", "1 2"}, {"token", "s3cret"}, {"name", "a.csv"}},
         .seen =
             see + "/file?dir=1%202&name=a.csv | Location: /file?dir=1%202&name=a.csv" + redirect},
        {.served = &kGuarded,
         .path = "/",
         .query = {{"token", "s3cret"}, {"a&b", "c/d"}, {"e", ""}},
         .seen = see + "/?a%26b=c%2Fd&e= | Location: /?a%26b=c%2Fd&e=" + redirect},
        {.served = &kGuarded,
         .path = "/%2Fevil.example/x",
         .query = {{"token", "s3cret"}},
         .seen = see + "/ | Location: /" + redirect},
        {.served = &kGuarded,
         .path = "//evil.example/",
         .query = {{"token", "s3cret"}},
         .seen = see + "/ | Location: /" + redirect},
        {.served = &kGuarded,
         .query = {{"token", "s3cret"}, {"serial", "1"}},
         .cookie = "s3cret",
         .seen = see + "/ | Location: /" + redirect},
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
