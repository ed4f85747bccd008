#include "web/FileList.h"

#include <algorithm>
#include <cstdint>

#include "datafolder/RowText.h"
#include "datafolder/Store.h"
#include "web/Reply.h"

void AppendJsonString(std::string& out, std::string_view text) {
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\';
    });
    if (plain) {
        out.append(1, '"').append(text).append(1, '"');
    } else {
        // Rare: escapes and mending are the JSON library's.
        out += JsonText(std::string(text));
    }
}

std::string FileListJson(const std::vector<FileRecord>& records, const std::string* serialPart,
                         const std::function<const char*(const FileRecord&)>& handOff) {
    std::string out = "{\"files\":[";
    // A row of plain names takes about a hundred bytes.
    out.reserve(out.size() + records.size() * 100 + 2);
    bool first = true;
    for (const FileRecord& record : records) {
        const std::string serial = SerialFromDirectoryName(record.serial);
        if (serialPart != nullptr && serial.find(*serialPart) == std::string::npos) {
            continue;
        }
        char time[kUtcTimeTextSize];
        out += first ? "{\"time\":" : ",{\"time\":";
        first = false;
        AppendJsonString(out, std::string_view(time, FormatUtcTimeText(record.lastWrite, time)));
        out += ",\"serial\":";
        AppendJsonString(out, serial);
        out += ",\"dir\":";
        AppendJsonString(out, record.serial);
        out += ",\"name\":";
        AppendJsonString(out, record.fileName);
        out += ",\"size\":";
        out += std::to_string(static_cast<std::int32_t>(record.size));
        if (const char* word = handOff(record)) {
            out += ",\"handoff\":";
            AppendJsonString(out, word);
        }
        out += '}';
    }
    out += "]}";
    return out;
}
