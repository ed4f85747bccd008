#pragma once

// The routes over the received files: the list, one file's rows, its plot and its bytes. A file
// is named by `dir` (its serial folder as on disk) and `name`; anything the scan does not list
// is 404. A transfer in progress is named instead by `link`, its link's number on the page, and
// read from its temporary file as far as it has come. Runs on the server's thread, which alone
// uses the index cache. The table and the plot read a file as ReadingsFormat finds it written,
// through an index of its readings that the last few files viewed keep, so that a page or a zoom
// reads only its part of a long file. When files are handed on, the list says how far each has
// come, and /api/outbox shows the hand-off.

#include <string>

#include <nlohmann/json.hpp>

#include "datafolder/Scan.h"
#include "web/ReadingsIndex.h"
#include "web/Reply.h"

class FileIndex;
namespace handoff {
class Forwarder;
}

// One row of the list: {"time","serial","dir","name","size"}, as `orbtray list` prints it.
[[nodiscard]] nlohmann::json FileRowJson(const FileRecord& record);

class FileRoutes {
public:
    explicit FileRoutes(FileIndex& index) : index_(index) {}

    // Null while nothing is handed on. Set before the server starts, never after.
    void Forward(const handoff::Forwarder* forwarder) { forwarder_ = forwarder; }

    // Each row with "handoff" (HandOffWord) while forwarding, for a file that was queued.
    [[nodiscard]] Reply Files(const Query& query);
    [[nodiscard]] Reply Table(const Query& query);
    // ?points=P[&from=X1&to=X2]: the readings with x in [X1, X2] thinned to P rows, with each
    // series' statistics over the range.
    [[nodiscard]] Reply Plot(const Query& query);
    // The file's bytes, named SERIAL_YYMMDD-HHMMSS.csv for whoever saves it.
    [[nodiscard]] Reply Download(const Query& query);
    // OutboxJson of the forwarder's status; {"forwarding":false} while nothing is handed on, so
    // that the page can tell without a failed request.
    [[nodiscard]] Reply Outbox();

    static constexpr std::size_t kMaxRows = 1000;
    static constexpr std::size_t kDefaultPoints = 2000;
    // A plot's memory grows with its points: 4000 is twice what the page asks.
    static constexpr std::size_t kMaxPoints = 4000;
    // ...and its answer with its numbers, x included: a file of many columns gets fewer points,
    // so that no plot's answer passes about a megabyte.
    static constexpr std::size_t kMaxPlotNumbers = 40'000;
    // A table row's JSON text is cut to this, cells and all; an answer stops taking rows once
    // its text has passed kMaxAnswerBytes.
    static constexpr std::size_t kMaxRowBytes = 4096;
    static constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;

private:
    FileIndex& index_;
    const handoff::Forwarder* forwarder_ = nullptr;
    ReadingsIndexCache readings_;
};
