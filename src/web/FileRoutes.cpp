#include "web/FileRoutes.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "datafolder/CsvLines.h"
#include "datafolder/RowText.h"
#include "datafolder/Store.h"
#include "handoff/Forwarder.h"
#include "web/FileIndex.h"
#include "web/FileList.h"
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

// A download's name, plain ASCII that no browser or file system reads as anything but a name:
// the serial's folder and the file's own name (its time, YYMMDD-HHMMSS.csv), each byte that is not
// a letter, a digit, '-' or '.' written as '_'.
std::string DownloadName(const FileRecord& record) {
    std::string name = record.serial + "_" + record.fileName;
    for (char& c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.';
        c = plain ? c : '_';
    }
    return name;
}

// Optional x values: absent, or a finite number.
bool XValue(const Query& query, const std::string& key, double fallback, double& value) {
    value = fallback;
    const auto found = query.find(key);
    if (found == query.end()) {
        return true;
    }
    const std::string& text = found->second;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
           std::isfinite(value);
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
    const FileIndex::Records records = index_.Scan();
    Reply reply;
    reply.type = "application/json";
    reply.body = FileListJson(
        *records, filter != query.end() ? &filter->second : nullptr,
        [this](const FileRecord& record) -> const char* {
            // The path as the store gave it to the hand-off; nothing is looked up on the disk.
            return forwarder_ == nullptr
                       ? nullptr
                       : HandOffWord(forwarder_->StateOf(index_.DataFolder() + record.serial + "/" +
                                                         record.fileName));
        });
    return reply;
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

// Appends the line's cells, split at `separator`, as a JSON array of strings, cut so that its text
// stays within kMaxRowBytes; true when anything was cut.
bool AppendRow(std::string& rows, std::string_view line, char separator,
               std::vector<std::string_view>& fields) {
    // Each cell takes at least three bytes ("",), so no more can fit.
    const bool allFields = SplitFields(line, fields, FileRoutes::kMaxRowBytes / 3, separator);
    const std::size_t start = rows.size();
    rows += rows.size() > 1 ? ",[" : "[";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::size_t used = rows.size() - start + (i > 0 ? 1 : 0) + 1;  // comma, ']'
        // A cell's JSON text is never shorter than the cell and its quotes: one too long for
        // the row is not written whole first, only to be cut.
        const bool mayFit = used + fields[i].size() + 2 <= FileRoutes::kMaxRowBytes;
        std::string text = mayFit ? CellText(fields[i]) : std::string();
        if (!mayFit || used + text.size() > FileRoutes::kMaxRowBytes) {
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

// What identifies a file's contents for the index cache: its names, size and time written.
std::string IndexKey(const StoredFile& file) {
    return file.record.serial + '\0' + file.record.fileName + '\0' + std::to_string(file.size) +
           '\0' + std::to_string(file.record.lastWrite);
}

LineReader ReaderOf(StoredFile& file) {
    return [&file](std::uint64_t from, const PlacedLineVisitor& visit) {
        return file.LinesFrom(from, visit);
    };
}

nlohmann::json OrNull(const std::optional<PlotRange>& range) {
    return range ? nlohmann::json::array({range->from, range->to}) : nlohmann::json();
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
    StoredFile& file = *named.file;
    const LineReader lines = ReaderOf(file);
    const std::shared_ptr<const ReadingsIndex> index = readings_.Get(IndexKey(file), lines);
    if (index->read.unreadable) {
        return TextReply(422, kNoLineEnds);
    }
    const char separator = index->format.separator;
    count = std::min(*count, kMaxRows);
    // Written by hand, like the plot: a row of thousands of cells as JSON objects would cost
    // far more than its text.
    std::vector<std::string_view> fields;
    std::string header = "[";
    if (index->format.header) {
        (void)file.LinesFrom(0, [&](std::string_view line, std::uint64_t) {
            AppendRow(header, line, separator, fields);
            return false;
        });
    }
    std::string rows = "[";
    std::vector<std::size_t> cutRows;  // indexes into `rows`
    std::size_t shown = 0;
    bool more = false;
    const std::size_t first = *offset, most = *count;
    if (first < index->readings && most > 0) {
        // From the chunk the first row is in, so that a page far into the file reads only it.
        const ReadingsChunk& chunk = index->chunks[first / index->chunkLines];
        std::size_t skip = first - chunk.first;
        (void)file.LinesFrom(chunk.at, [&](std::string_view line, std::uint64_t) {
            if (skip > 0) {
                --skip;
                return true;
            }
            if (rows.size() >= kMaxAnswerBytes) {
                more = true;
                return false;
            }
            if (AppendRow(rows, line, separator, fields)) {
                cutRows.push_back(shown);
            }
            return ++shown < most && first + shown < index->readings;
        });
    }
    rows += ']';
    const FileRecord& record = file.record;
    nlohmann::json fieldsBefore = {{"dir", record.serial},
                                   {"name", record.fileName},
                                   {"serial", SerialFromDirectoryName(record.serial)},
                                   {"size", file.size},
                                   {"lines", index->readings},
                                   {"partial", index->read.partial},
                                   {"offset", *offset},
                                   {"cut", cutRows},
                                   {"more", more},
                                   {"separator", std::string(1, separator)}};
    Reply reply;
    reply.type = "application/json";
    reply.body = OpenObject(fieldsBefore) +
                 (index->format.header ? "\"header\":" + header.substr(1) + "," : "") +
                 "\"rows\":" + rows + "}";
    return reply;
}

Reply FileRoutes::Plot(const Query& query) {
    const std::optional<std::size_t> points = Count(query, "points", kDefaultPoints);
    if (!points || *points == 0) {
        return TextReply(400, "points must be a positive number");
    }
    constexpr double kAll = std::numeric_limits<double>::infinity();
    PlotRange asked;
    if (!XValue(query, "from", -kAll, asked.from) || !XValue(query, "to", kAll, asked.to) ||
        asked.from > asked.to) {
        return TextReply(400, "from and to must be numbers, from not above to");
    }
    const bool ranged = query.count("from") > 0 || query.count("to") > 0;
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return std::move(*named.failure);
    }
    StoredFile& file = *named.file;
    const LineReader lines = ReaderOf(file);
    const std::shared_ptr<const ReadingsIndex> index = readings_.Get(IndexKey(file), lines);
    if (index->read.unreadable) {
        return TextReply(422, kNoLineEnds);
    }
    const ReadingsFormat& format = index->format;
    const std::size_t most = std::min(kMaxPoints, kMaxPlotNumbers / (format.series.size() + 1));
    const PlotSeries plot = ThinPlot(*index, lines, std::min(*points, most),
                                     ranged ? std::optional<PlotRange>(asked) : std::nullopt);

    nlohmann::json labels = nlohmann::json::array({index->TimeAxis() ? kTimeLabel : kReadingLabel});
    nlohmann::json series = nlohmann::json::array();
    for (const SeriesColumn& column : format.series) {
        labels.push_back(column.label);
        series.push_back({{"column", column.column + 1},
                          {"name", column.name},
                          {"label", column.label},
                          {"unit", column.unit}});
    }
    nlohmann::json stats = nlohmann::json::array();
    for (const SeriesSummary& summary : plot.stats) {
        const bool any = summary.count > 0;
        stats.push_back(
            {{"min", any ? nlohmann::json(summary.low) : nlohmann::json()},
             {"max", any ? nlohmann::json(summary.high) : nlohmann::json()},
             {"mean", any ? nlohmann::json(summary.sum / summary.count) : nlohmann::json()},
             {"count", summary.count}});
    }
    nlohmann::json fields = {
        {"x", index->TimeAxis() ? "time" : "line"},
        {"labels", std::move(labels)},
        {"series", std::move(series)},
        {"lines", index->readings},
        {"header", format.header},
        {"separator", std::string(1, format.separator)},
        {"decimalComma", format.decimalComma},
        {"partial", index->read.partial},
        {"extent",
         OrNull(index->placed > 0 ? std::optional<PlotRange>(PlotRange{index->xMin, index->xMax})
                                  : std::nullopt)},
        {"range", OrNull(plot.range)},
        {"stats", std::move(stats)}};
    if (!format.problem.empty()) {
        fields["problem"] = format.problem;
    }
    Reply reply;
    reply.type = "application/json";
    reply.body = OpenObject(fields) + "\"data\":" + plot.data + "}";
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
    reply.headers.emplace_back("Content-Disposition",
                               "attachment; filename=\"" + DownloadName(named.file->record) + "\"");
    reply.file = named.file->TakeFile();
    return reply;
}

Reply FileRoutes::Outbox() {
    return JsonReply(forwarder_ != nullptr ? OutboxJson(forwarder_->Status())
                                           : nlohmann::json{{"forwarding", false}});
}
