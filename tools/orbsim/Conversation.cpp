#include "Conversation.h"

namespace orbsim {

namespace {
constexpr std::string_view kLineEnd = "\r\n";
}  // namespace

bool IsDiscoveryReply(std::string_view datagram) {
    if (!datagram.starts_with(kDiscoveryReplyPrefix)) {
        return false;
    }
    const std::string_view seconds = datagram.substr(kDiscoveryReplyPrefix.size());
    if (seconds.empty()) {
        return false;
    }
    for (const char c : seconds) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> SplitLines(std::string_view contents) {
    std::vector<std::string_view> lines;
    while (!contents.empty()) {
        const std::size_t lineFeed = contents.find('\n');
        std::string_view line = contents.substr(0, lineFeed);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        contents.remove_prefix(lineFeed == std::string_view::npos ? contents.size() : lineFeed + 1);
    }
    return lines;
}

std::string EncodeHello(std::string_view serial) {
    return std::string("HELLO ").append(serial).append(kLineEnd);
}

std::string EncodeLine(std::string_view data) {
    return std::string("LINE ").append(data).append(kLineEnd);
}

std::string EncodeBye() {
    return std::string("BYE").append(kLineEnd);
}

std::string EncodeTransfer(std::string_view serial, const std::vector<std::string_view>& lines) {
    std::string bytes = EncodeHello(serial);
    for (const std::string_view line : lines) {
        bytes += EncodeLine(line);
    }
    return bytes + EncodeBye();
}

std::vector<std::string_view> SplitIntoChunks(std::string_view bytes, std::size_t maxBytes) {
    std::vector<std::string_view> chunks;
    const std::size_t size = maxBytes == 0 ? bytes.size() : maxBytes;
    while (!bytes.empty()) {
        chunks.push_back(bytes.substr(0, size));
        bytes.remove_prefix(chunks.back().size());
    }
    return chunks;
}

}  // namespace orbsim
