#include "web/Token.h"

bool IsTokenCharacter(char c) {
    return c > ' ' && c < 127 && c != ';' && c != ',' && c != '"' && c != '\\';
}

std::string_view TokenFromText(std::string_view text) {
    text = text.substr(0, text.find('\n'));
    constexpr std::string_view kBlanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
}

bool SameToken(std::string_view given, std::string_view token) {
    // Whether there is a token at all is no secret.
    if (token.empty()) {
        return false;
    }
    // Every byte given is looked at, whatever its length, and only the difference is kept.
    unsigned char difference = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ token[i % token.size()]);
    }
    return difference == 0;
}
