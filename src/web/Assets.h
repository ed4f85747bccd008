#pragma once

// The page's files, compiled into the program: nothing is read from disk at run time.

#include <cstddef>
#include <string_view>

struct EmbeddedFile {
    const char* name;  // the file's own name ("app.js"); null ends the table
    const unsigned char* data;
    std::size_t size;
};

// Generated at build time from src/web/assets/ and dygraphs.
extern const EmbeddedFile kEmbeddedFiles[];

// The file served at `urlPath` ("/" is index.html, "/file" is file.html); null for none.
[[nodiscard]] const EmbeddedFile* FindAsset(std::string_view urlPath);
// The Content-Type for a file name, by its extension.
[[nodiscard]] const char* ContentTypeOf(std::string_view name);
