#include "web/FileRoutes.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

#include "datafolder/CsvLines.h"
#include "datafolder/RowText.h"
#include "datafolder/Store.h"
#include "handoff/Forwarder.h"
#include "web/FileIndex.h"
#include "web/HandOffView.h"
#include "web/PlotThinning.h"

namespace {

std::optional<std::size_t> Count(const Query& query, const std::string& key, std::size_t fallback) {
    const auto found = query.find(key);
    if (found == query.end()) {
        return fallback;
    }
    const std::string& text = found->second;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// A file name safe inside a quoted header parameter; the file's own name in every usual case.
std::string QuotedName(const std::string& name) {
    std::string safe;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        safe += byte < 0x20 || byte == 0x7F || c == '"' || c == '\\' || byte >= 0x80 ? '_' : c;
    }
    return safe;
}

struct Named {
    std::optional<StoredFile> file;
    std::optional<Reply> failure;
};

}  // namespace

nlohmann::json FileRowJson(const FileRecord& record) {
    char time[kUtcTimeTextSize];
    return {{"time", std::string(time, FormatUtcTimeText(record.lastWrite, time))},
            {"serial", SerialFromDirectoryName(record.serial)},
            {"dir", record.serial},
            {"name", record.fileName},
            {"size", static_cast<std::int32_t>(record.size)}};
}

namespace {

// A transfer the page follows, by its link's number: while it runs, the temporary file its
// receiver reported, opened as a listed file is; afterwards the file it became. Nothing in the
// request names anything on the disk.
Named OpenLive(FileIndex& index, const std::string& link) {
    const std::optional<std::uint64_t> number = LinkNumber(link);
    if (!number) {
        return {std::nullopt, TextReply(400, "link must be a connection's number")};
    }
    bool known = false;
    std::optional<StoredFile> file = index.OpenLive(*number, known);
    if (!file) {
        // A temporary file is renamed a moment before the page hears that its transfer is
        // over: nothing to show at that moment is no fault.
        return {std::nullopt, known ? TextReply(204, "") : TextReply(404, "no such transfer")};
    }
    return {std::move(file), std::nullopt};
}

Named OpenNamed(FileIndex& index, const Query& query) {
    if (const auto link = query.find("link"); link != query.end()) {
        return OpenLive(index, link->second);
    }
    const auto dir = query.find("dir");
    const auto name = query.find("name");
    if (dir == query.end() || name == query.end()) {
        return {std::nullopt, TextReply(400, "dir and name are needed")};
    }
    std::optional<StoredFile> file = index.Open(dir->second, name->second);
    if (!file) {
        return {std::nullopt, TextReply(404, "no such file")};
    }
    return {std::move(file), std::nullopt};
}

}  // namespace

Reply FileRoutes::Files(const Query& query) {
    const auto filter = query.find("serial");
    nlohmann::json rows = nlohmann::json::array();
    for (const FileRecord& record : index_.Scan()) {
        nlohmann::json row = FileRowJson(record);
        if (filter != query.end() &&
            row["serial"].get_ref<const std::string&>().find(filter->second) == std::string::npos) {
            continue;
        }
        if (forwarder_ != nullptr) {
            // The path as the store gave it to the hand-off; nothing is looked up on the disk.
            const char* word = HandOffWord(
                forwarder_->StateOf(index_.DataFolder() + record.serial + "/" + record.fileName));
            if (word != nullptr) {
                row["handoff"] = word;
            }
        }
        rows.push_back(std::move(row));
    }
    return JsonReply({{"files", std::move(rows)}});
}

namespace {

// A cell as a JSON string. Most cells are plain text and written as they are; the rest go
// through the JSON library, which also mends bytes that are not UTF-8.
std::string CellText(std::string_view cell) {
    const bool plain = std::all_of(cell.begin(), cell.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\';
    });
    if (plain) {
        std::string text;
        text.reserve(cell.size() + 2);
        return text.append(1, '"').append(cell).append(1, '"');
    }
    return JsonText(std::string(cell));
}

// As much of the cell as fits `room` bytes of JSON, cut between characters; empty when not even
// an empty string fits.
std::string CellTextWithin(std::string_view cell, std::size_t room) {
    if (room < 2) {
        return {};
    }
    // Plain text takes a byte per byte; escaping takes at most six.
    for (const std::size_t perByte : {std::size_t{1}, std::size_t{6}}) {
        std::size_t keep = std::min(cell.size(), (room - 2) / perByte);
        while (keep > 0 && keep < cell.size() &&
               (static_cast<unsigned char>(cell[keep]) & 0xC0) == 0x80) {
            --keep;
        }
        std::string text = CellText(cell.substr(0, keep));
        if (text.size() <= room) {
            return text;
        }
    }
    return "\"\"";
}

// Appends the line's cells as a JSON array of strings, cut so that its text stays within
// kMaxRowBytes; true when anything was cut.
bool AppendRow(std::string& rows, std::string_view line, std::vector<std::string_view>& fields) {
    // Each cell takes at least three bytes ("",), so no more can fit.
    const bool allFields = SplitFields(line, fields, FileRoutes::kMaxRowBytes / 3);
    const std::size_t start = rows.size();
    rows += rows.size() > 1 ? ",[" : "[";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t used = rows.size() - start + (i > 0 ? 1 : 0) + 1;  // comma, ']'
        std::string text = CellText(fields[i]);
        if (used + text.size() > FileRoutes::kMaxRowBytes) {
            // The last cell that fits, as much of it as does.
            text = used < FileRoutes::kMaxRowBytes
                       ? CellTextWithin(fields[i], FileRoutes::kMaxRowBytes - used)
                       : std::string();
            if (!text.empty()) {
                rows += i > 0 ? "," : "";
                rows += text;
            }
            rows += ']';
            return true;
        }
        rows += i > 0 ? "," : "";
        rows += text;
    }
    rows += ']';
    return !allFields;
}

// The answer's fields before its rows, as a JSON object still open.
std::string OpenObject(const nlohmann::json& fields) {
    std::string text = JsonText(fields);
    text.pop_back();
    return text + (fields.empty() ? "" : ",");
}

}  // namespace

Reply FileRoutes::Table(const Query& query) {
    const std::optional<std::size_t> offset = Count(query, "offset", 0);
    std::optional<std::size_t> count = Count(query, "count", 100);
    if (!offset || !count) {
        return TextReply(400, "offset and count must be numbers");
    }
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return std::move(*named.failure);
    }
    count = std::min(*count, kMaxRows);
    // Written by hand, like the plot: a row of thousands of cells as JSON objects would cost
    // far more than its text.
    std::string rows = "[";
    std::vector<std::string_view> fields;
    std::size_t index = 0;
    std::vector<std::size_t> cutRows;  // indexes into `rows`
    std::size_t shown = 0;
    bool more = false;
    const LinesRead read = named.file->EachLine([&](std::string_view line) {
        if (index >= *offset && index - *offset < *count) {
            if (rows.size() >= kMaxAnswerBytes) {
                more = true;
            } else {
                if (AppendRow(rows, line, fields)) {
                    cutRows.push_back(shown);
                }
                ++shown;
            }
        }
        ++index;
    });
    if (read.unreadable) {
        return TextReply(422, kNoLineEnds);
    }
    rows += ']';
    const FileRecord& record = named.file->record;
    Reply reply;
    reply.type = "application/json";
    reply.body = OpenObject({{"dir", record.serial},
                             {"name", record.fileName},
                             {"serial", SerialFromDirectoryName(record.serial)},
                             {"size", named.file->size},
                             {"lines", read.lines},
                             {"partial", read.partial},
                             {"offset", *offset},
                             {"cut", cutRows},
                             {"more", more}}) +
                 "\"rows\":" + rows + "}";
    return reply;
}

Reply FileRoutes::Plot(const Query& query) {
    const std::optional<std::size_t> points = Count(query, "points", kDefaultPoints);
    if (!points || *points == 0) {
        return TextReply(400, "points must be a positive number");
    }
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return std::move(*named.failure);
    }
    StoredFile& file = *named.file;
    const PlotSeries plot = ThinPlot([&](const LineVisitor& visit) { return file.EachLine(visit); },
                                     std::min(*points, kMaxPoints));
    if (plot.read.unreadable) {
        return TextReply(422, kNoLineEnds);
    }
    Reply reply;
    reply.type = "application/json";
    reply.body = OpenObject({{"labels", plot.labels},
                             {"x", plot.timeAxis ? "time" : "line"},
                             {"lines", plot.read.lines},
                             {"partial", plot.read.partial}}) +
                 "\"data\":" + plot.data + "}";
    return reply;
}

Reply FileRoutes::Download(const Query& query) {
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return std::move(*named.failure);
    }
    Reply reply;
    reply.type = "text/csv";
    reply.fileSize = named.file->size;
    reply.file = named.file->TakeFile();
    reply.headers.emplace_back(
        "Content-Disposition",
        "attachment; filename=\"" + QuotedName(named.file->record.fileName) + "\"");
    return reply;
}

Reply FileRoutes::Outbox() {
    return JsonReply(forwarder_ != nullptr ? OutboxJson(forwarder_->Status())
                                           : nlohmann::json{{"forwarding", false}});
}
