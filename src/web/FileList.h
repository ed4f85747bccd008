#pragma once

// The list of received files as the page reads it (/api/files), written straight as JSON text:
// as JSON objects, a folder of a hundred thousand files would cost many times its text in memory
// and time.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "datafolder/Scan.h"

// `text` as a JSON string; bytes that are not UTF-8 become U+FFFD, as JsonText gives them.
void AppendJsonString(std::string& out, std::string_view text);

// {"files":[...]}, each row as FileRowJson gives it and with "handoff" where `handOff` names a
// word for the file; only rows whose serial contains `serialPart`, when there is one.
[[nodiscard]] std::string FileListJson(
    const std::vector<FileRecord>& records, const std::string* serialPart,
    const std::function<const char*(const FileRecord&)>& handOff);
