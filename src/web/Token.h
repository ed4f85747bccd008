#pragma once

// The web page's access token, stated once: which characters it may hold, how it is taken from
// the text of its file, and how a token a browser gives is compared with it.

#include <string_view>

// Printable ASCII other than blanks, ';', ',', '"' and '\': the token travels in a cookie,
// which has no quoting for these.
[[nodiscard]] bool IsTokenCharacter(char c);

// The token a token file's text holds: its first line without the blanks around it. Empty when
// there is none.
[[nodiscard]] std::string_view TokenFromText(std::string_view text);

// Whether `given` is `token`, in time independent of where they differ, so the token cannot be
// guessed a byte at a time. An empty `token` matches nothing.
[[nodiscard]] bool SameToken(std::string_view given, std::string_view token);
