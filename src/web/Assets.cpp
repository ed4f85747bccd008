#include "web/Assets.h"

const EmbeddedFile* FindAsset(std::string_view urlPath) {
    if (urlPath == "/") {
        urlPath = "/index.html";
    } else if (urlPath == "/file") {
        urlPath = "/file.html";
    }
    if (urlPath.size() < 2 || urlPath[0] != '/') {
        return nullptr;
    }
    const std::string_view name = urlPath.substr(1);
    for (const EmbeddedFile* file = kEmbeddedFiles; file->name != nullptr; ++file) {
        if (name == file->name) {
            return file;
        }
    }
    return nullptr;
}

const char* ContentTypeOf(std::string_view name) {
    const auto endsWith = [&](std::string_view suffix) { return name.ends_with(suffix); };
    if (endsWith(".html")) {
        return "text/html; charset=utf-8";
    }
    if (endsWith(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (endsWith(".css")) {
        return "text/css; charset=utf-8";
    }
    if (endsWith(".svg")) {
        return "image/svg+xml";
    }
    if (endsWith(".png")) {
        return "image/png";
    }
    if (endsWith(".ico")) {
        return "image/x-icon";
    }
    return "application/octet-stream";
}
