#pragma once

// A job of the outbox: one received file to hand to one target, and how far that has come. Jobs
// are kept as small text files, one "name=value" line per field, so that a user can read them and
// any build can take over another's.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handoff/FolderTarget.h"

namespace handoff {

// Where files are handed on to: a folder, or a command the user gave.
struct Target {
    enum class Kind { Folder, Command };
    Kind kind = Kind::Folder;
    std::string where;  // the folder, or the command's text

    // The same short name for the same target in every process: part of each job's name, and
    // the name of the lock its one runner holds.
    std::string Key() const;
    bool operator==(const Target&) const = default;
};

struct Job {
    std::string id;  // the job's file name in the outbox, without its suffix
    Target target;
    FileFacts file;
    bool failed = false;       // failed for good; kept until the user retries it
    int attempts = 0;          // tries so far
    std::int64_t nextTry = 0;  // UTC seconds since 1970; 0 for at once
    std::string lastError;     // why the last try did not deliver; empty before any
};

// "<received YYYYMMDDHHMMSS.fraction>-<file name>-<path hash>-<target key>": jobs sort by the
// time their file came, and the same file for the same target always gets the same name, so it
// is never queued twice.
std::string JobId(const FileFacts& file, const Target& target);
std::string JobText(const Job& job);
// A target as one line of a job or of the outbox's list of targets, and that list read back.
std::string TargetText(const Target& target);
std::vector<Target> ParseTargets(std::string_view text);
// Nothing when the text is not a whole job (a file cut short by a crash, or not ours).
std::optional<Job> ParseJob(std::string_view id, std::string_view text);

// "YYYY-MM-DD HH:MM:SS", the outbox listing's form of a UTC time.
std::string ListTime(std::int64_t utcSeconds);
// "YYYY-MM-DDTHH:MM:SSZ", the form a command is given.
std::string IsoTime(std::int64_t utcSeconds);

}  // namespace handoff
