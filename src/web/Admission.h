#pragma once

// Who gets an answer, decided from the request's own words alone: the Host it names, its method,
// where the browser says it comes from, and the token it gives by query or cookie. The rules are
// pure, so every refusal a user can meet is checked without a server; the gate and the server
// only gather the words and send what is decided.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/Reply.h"

// What the page is served as, settled once it listens.
struct Served {
    std::string host;  // as configured: an IP address (IPv6 without brackets) or a name
    std::uint16_t port = 0;
    std::vector<std::string> names;  // further names the user gave (--web-host)
    std::string boundHost;           // the listening socket's address as a Host writes it
    std::string token;               // empty: no token asked for
};

// The words of one request that admission looks at; a header that was not sent is absent.
struct AskedFor {
    std::string_view method;
    std::string_view path;  // decoded, without the query
    const Query& query;
    std::optional<std::string_view> host;
    std::optional<std::string_view> fetchSite;  // Sec-Fetch-Site
    std::optional<std::string_view> origin;
    std::optional<std::string_view> cookie;  // the value of the cookie TokenCookieName names
};

// Read-only: GET and HEAD, as the Allow header of a refusal lists them.
inline constexpr char kServedMethods[] = "GET, HEAD";
inline constexpr char kMethodRefused[] = "only GET and HEAD are served";
[[nodiscard]] bool IsServedMethod(std::string_view method);

// Whether a Host header (or an Origin's host and port) names this page: its address, its bound
// address, localhost or a name the user gave, each with or without the port, in any case.
[[nodiscard]] bool KnownHost(const Served& served, std::string_view host);

// Whether the browser says the request comes from another site's page.
[[nodiscard]] bool CrossSite(const Served& served, std::optional<std::string_view> fetchSite,
                             std::optional<std::string_view> origin);

// The token's cookie, named after the port so two receivers on one host keep theirs apart.
[[nodiscard]] std::string TokenCookieName(std::uint16_t port);

// Where a request that brought the right token is sent on: the same page without the token
// when it is one of the page's own, else the front page.
[[nodiscard]] std::string TokenRedirect(std::string_view path, const Query& query);

// Empty when the request may go on; otherwise the answer it gets instead.
[[nodiscard]] std::optional<Reply> Admit(const Served& served, const AskedFor& asked);
