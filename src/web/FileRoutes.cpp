#include "web/FileRoutes.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <vector>

#include "transfer/Store.h"
#include "viewer/RowText.h"
#include "web/CsvLines.h"
#include "web/FileIndex.h"
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
    std::optional<ListedFile> file;
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

Named OpenNamed(FileIndex& index, const Query& query) {
    const auto dir = query.find("dir");
    const auto name = query.find("name");
    if (dir == query.end() || name == query.end()) {
        return {std::nullopt, TextReply(400, "dir and name are needed")};
    }
    std::optional<ListedFile> file = index.Open(dir->second, name->second);
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
        rows.push_back(std::move(row));
    }
    return JsonReply({{"files", std::move(rows)}});
}

Reply FileRoutes::Table(const Query& query) {
    const std::optional<std::size_t> offset = Count(query, "offset", 0);
    std::optional<std::size_t> count = Count(query, "count", 100);
    if (!offset || !count) {
        return TextReply(400, "offset and count must be numbers");
    }
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return *named.failure;
    }
    count = std::min(*count, kMaxRows);
    nlohmann::json rows = nlohmann::json::array();
    std::vector<std::string_view> fields;
    std::size_t index = 0;
    const std::size_t lines = named.file->EachLine([&](std::string_view line) {
        if (index >= *offset && index - *offset < *count) {
            SplitFields(line, fields);
            nlohmann::json row = nlohmann::json::array();
            for (const std::string_view field : fields) {
                row.push_back(std::string(field));
            }
            rows.push_back(std::move(row));
        }
        ++index;
    });
    const FileRecord& record = named.file->record;
    return JsonReply({{"dir", record.serial},
                      {"name", record.fileName},
                      {"serial", SerialFromDirectoryName(record.serial)},
                      {"size", named.file->size},
                      {"lines", lines},
                      {"offset", *offset},
                      {"rows", std::move(rows)}});
}

Reply FileRoutes::Plot(const Query& query) {
    const std::optional<std::size_t> points = Count(query, "points", kDefaultPoints);
    if (!points || *points == 0) {
        return TextReply(400, "points must be a positive number");
    }
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return *named.failure;
    }
    const ListedFile& file = *named.file;
    const PlotSeries plot = ThinPlot([&](const LineVisitor& visit) { return file.EachLine(visit); },
                                     std::min(*points, kMaxPoints));
    // Written by hand: nlohmann would build an object per number, and a plot has tens of
    // thousands of them.
    std::string data = "[";
    char number[32];
    for (const std::vector<double>& row : plot.rows) {
        data += data.size() > 1 ? ",[" : "[";
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) {
                data += ',';
            }
            if (std::isnan(row[i])) {
                data += "null";
            } else {
                const auto written = std::to_chars(number, number + sizeof number, row[i]);
                data.append(number, written.ptr);
            }
        }
        data += ']';
    }
    data += ']';
    Reply reply;
    reply.type = "application/json";
    reply.body = "{\"labels\":" + JsonText(plot.labels) + ",\"x\":\"" +
                 (plot.timeAxis ? "time" : "line") + "\",\"data\":" + data + "}";
    return reply;
}

Reply FileRoutes::Download(const Query& query) {
    Named named = OpenNamed(index_, query);
    if (named.failure) {
        return *named.failure;
    }
    Reply reply;
    reply.type = "text/csv";
    reply.fdSize = named.file->size;
    reply.fd = named.file->Release();
    reply.headers.emplace_back(
        "Content-Disposition",
        "attachment; filename=\"" + QuotedName(named.file->record.fileName) + "\"");
    return reply;
}
