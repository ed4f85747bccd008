#include "web/RequestHead.h"

#include <algorithm>

#include "datafolder/CsvLines.h"
#include "web/Admission.h"

namespace {

bool TokenChar(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool Token(std::string_view text) {
    for (const char c : text) {
        if (!TokenChar(c)) {
            return false;
        }
    }
    return !text.empty();
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char lower = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        if (lower != b[i]) {
            return false;
        }
    }
    return true;
}

// Whether the server reads the cookies as the browser meant them. It takes a quote as opening a
// value that runs on to the next quote, across the pairs after it, and fails the request with an
// answer of its own on a value of one quote (`a="`), which a page on any other port of this host
// can set. A browser splits pairs at ';' and never quotes inside a value.
bool CookiesReadable(std::string_view cookies) {
    while (!cookies.empty()) {
        const std::size_t end = cookies.find(';');
        const std::string_view pair = cookies.substr(0, end);
        cookies.remove_prefix(end == cookies.npos ? cookies.size() : end + 1);
        const std::size_t equals = pair.find('=');
        const std::string_view value =
            equals == pair.npos ? std::string_view() : Trimmed(pair.substr(equals + 1));
        if (value.find('"') == value.npos) {
            continue;
        }
        if (value.size() < 2 || value.front() != '"' || value.back() != '"' ||
            value.substr(1, value.size() - 2).find('"') != value.npos) {
            return false;
        }
    }
    return true;
}

HeadCheck Refused(unsigned status, const char* text) {
    return {true, status, text};
}

HeadCheck CheckRequestLine(std::string_view line) {
    const std::size_t first = line.find(' ');
    const std::size_t second = line.find(' ', first == line.npos ? 0 : first + 1);
    if (first == line.npos || second == line.npos || line.find(' ', second + 1) != line.npos) {
        return Refused(400, "the request is malformed");
    }
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!Token(method) || target.empty() || target[0] != '/' || version.size() != 8 ||
        version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
        version[5] > '9' || version[7] < '0' || version[7] > '9') {
        return Refused(400, "the request is malformed");
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        return Refused(505, "only HTTP/1.0 and HTTP/1.1 are served");
    }
    if (!IsServedMethod(method)) {
        return Refused(405, kMethodRefused);
    }
    return {};
}

}  // namespace

HeadCheck CheckHead(std::string_view bytes) {
    // Control bytes have no place in a head; refusing them at once also ends a TLS handshake
    // sent to this plain-HTTP port without waiting for its deadline.
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7f) {
            return Refused(400, "the request is malformed");
        }
    }
    std::size_t end = bytes.find("\n\r\n");
    end = end == bytes.npos ? bytes.find("\n\n") : std::min(end, bytes.find("\n\n"));
    if (end == bytes.npos) {
        if (bytes.size() < kMaxHead) {
            return {};
        }
        return bytes.find('\n') == bytes.npos ? Refused(414, "the request line is too long")
                                              : Refused(431, "the request head is too large");
    }
    std::string_view rest = bytes.substr(0, end + 1);
    bool requestLine = true;
    std::size_t fields = 0;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        std::string_view line = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find('\r') != line.npos) {
            return Refused(400, "the request is malformed");
        }
        if (requestLine) {
            if (const HeadCheck check = CheckRequestLine(line); check.status != 0) {
                return check;
            }
            requestLine = false;
            const std::string_view target = line.substr(0, line.rfind(' '));
            if (target.find('?') != target.npos) {
                fields +=
                    1 + static_cast<std::size_t>(std::count(target.begin(), target.end(), '&'));
            }
            continue;
        }
        // No folded lines, no blank before the colon: both have been used to smuggle requests.
        const std::size_t colon = line.find(':');
        if (colon == line.npos || !Token(line.substr(0, colon))) {
            return Refused(400, "the request is malformed");
        }
        const std::string_view name = line.substr(0, colon);
        ++fields;
        if (SameName(name, "cookie")) {
            // The server splits cookies at both.
            fields += static_cast<std::size_t>(std::count_if(
                line.begin(), line.end(), [](char c) { return c == ';' || c == ','; }));
            ++fields;
        }
        if (fields > kMaxFields) {
            return Refused(431, "the request head has too many fields");
        }
        if (SameName(name, "transfer-encoding") ||
            (SameName(name, "content-length") && Trimmed(line.substr(colon + 1)) != "0")) {
            return Refused(413, "a request may not carry a body");
        }
        if (SameName(name, "cookie") && !CookiesReadable(line.substr(colon + 1))) {
            return Refused(400,
                           "a cookie the browser keeps for this address is malformed; remove the "
                           "address's cookies in the browser");
        }
    }
    return {true, 0, ""};
}
