#include "handoff/Outbox.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>

#include "datafolder/Store.h"
#include "platform/Clock.h"

namespace handoff {
namespace {

constexpr char kJobSuffix[] = ".job";
constexpr char kPendingSuffix[] = ".pending";
// A job being rewritten; the name is the writer's own, so that two writers never meet in it.
constexpr char kNewSuffix[] = ".new";
// A pending job lives for the moment its file is renamed; one this old was left by a crash.
constexpr std::int64_t kPendingAge = 60;
constexpr std::size_t kMaxJobFile = 64 * 1024;
constexpr char kTargetsName[] = "targets";
// The record of deliveries: appended to, and started over (the last one kept as the old one)
// when it has grown past its size.
constexpr char kDeliveredName[] = "delivered.log";
constexpr char kDeliveredOldName[] = "delivered.old";
constexpr std::uint64_t kDeliveredSize = 4 * 1024 * 1024;

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Written whole under `path`, which must be new, and left open in `file`; flushed to the disk
// when `sync`.
bool WriteNewFile(platform::File& file, const std::string& path, const std::string& text,
                  bool sync) {
    platform::FileOutcome created = file.CreateNew(path);
    if (created == platform::FileOutcome::Taken) {
        // A leftover of a crash under the same name.
        platform::RemoveFile(path);
        created = file.CreateNew(path);
    }
    if (created != platform::FileOutcome::Done) {
        return false;
    }
    if (!file.Write(text.data(), text.size()) || (sync && !file.SyncToDisk())) {
        file.Remove();
        return false;
    }
    return true;
}

bool WriteNewFile(const std::string& path, const std::string& text, bool sync) {
    platform::File file;
    return WriteNewFile(file, path, text, sync);
}

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    static const unsigned process = std::random_device{}();
    return "." + std::to_string(process) + "-" + std::to_string(counter++) + kNewSuffix;
}

}  // namespace

Outbox::Outbox(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty() || folder_.back() != platform::kPathSeparator) {
        folder_ += platform::kPathSeparator;
    }
}

bool Outbox::Prepare(std::string& error) {
    if (!MakePath(folder_)) {
        error = "cannot create the folder";
        return false;
    }
    error = platform::ProbeFolder(folder_).writeError;
    return error.empty();
}

std::string Outbox::PathOf(const std::string& id, const char* suffix) const {
    return folder_ + id + suffix;
}

std::string Outbox::LockPath(const Target& target) const {
    return folder_ + target.Key() + ".lock";
}

bool Outbox::WritePending(const Job& job) {
    return WriteNewFile(PathOf(job.id, kPendingSuffix), JobText(job), true);
}

bool Outbox::SyncFolder() {
    return platform::SyncDirectory(folder_);
}

void Outbox::Settle(const std::string& pendingId, const Job& job) {
    if (pendingId != job.id) {
        if (WriteNewFile(PathOf(job.id, kJobSuffix), JobText(job), true)) {
            (void)SyncFolder();
            DropPending(pendingId);
        }
        return;
    }
    // Not flushed: should the rename be lost, the pending job is settled at the next start.
    // Renamed by name: Windows renames through a handle only with delete access, which a
    // reader's lacks. A job of that id is there already only when this file was queued for this
    // target before, and that job stands.
    if (platform::MoveFileNoReplace(PathOf(job.id, kPendingSuffix), PathOf(job.id, kJobSuffix)) ==
        platform::FileOutcome::Taken) {
        DropPending(job.id);
    }
}

void Outbox::DropPending(const std::string& id) {
    platform::RemoveFile(PathOf(id, kPendingSuffix));
}

platform::FileOutcome Outbox::Add(const Job& job) {
    if (platform::PathExists(PathOf(job.id, kJobSuffix))) {
        return platform::FileOutcome::Taken;
    }
    // Written under its own name first and then moved without replacing, so that two adds of
    // one file cannot both think they queued it.
    const std::string fresh = PathOf(job.id, UniqueSuffix().c_str());
    if (!WriteNewFile(fresh, JobText(job), true)) {
        return platform::FileOutcome::Failed;
    }
    const platform::FileOutcome moved =
        platform::MoveFileNoReplace(fresh, PathOf(job.id, kJobSuffix));
    if (moved != platform::FileOutcome::Done) {
        platform::RemoveFile(fresh);
    }
    return moved;
}

bool Outbox::Replace(const Job& job, const char* suffix, bool sync) {
    // Moved over the old state through the handle that wrote it, the one with the delete access
    // Windows asks of a rename through a handle.
    platform::File file;
    if (!WriteNewFile(file, PathOf(job.id, UniqueSuffix().c_str()), JobText(job), sync)) {
        return false;
    }
    if (file.MoveOver(PathOf(job.id, suffix)) != platform::FileOutcome::Done) {
        file.Remove();
        return false;
    }
    return true;
}

bool Outbox::Update(const Job& job) {
    // Flushed before it replaces the old state: a crash must not leave an empty job behind.
    return Replace(job, kJobSuffix, true);
}

void Outbox::Remove(const std::string& id) {
    platform::RemoveFile(PathOf(id, kJobSuffix));
}

std::optional<Job> Outbox::Read(const std::string& id) const {
    const platform::SmallFile file = platform::ReadSmallFile(PathOf(id, kJobSuffix), kMaxJobFile);
    if (!file.opened || !file.regular || file.bytes.size() > kMaxJobFile) {
        return std::nullopt;
    }
    return ParseJob(id, file.bytes);
}

std::vector<std::string> Outbox::ListJobs(std::int64_t now) {
    std::vector<std::string> ids;
    std::vector<std::string> stale;
    std::vector<std::string> leftovers;
    platform::ListDirectory(folder_, [&](const platform::DirectoryEntry& entry) {
        if (entry.kind != platform::EntryKind::File) {
            return;
        }
        const std::string_view name = entry.name;
        const std::int64_t age = now - platform::UtcSecondsOfFileTime(entry.lastWrite);
        if (EndsWith(name, kJobSuffix)) {
            ids.emplace_back(name.substr(0, name.size() - (sizeof kJobSuffix - 1)));
        } else if (EndsWith(name, kPendingSuffix) && age > kPendingAge) {
            stale.emplace_back(name.substr(0, name.size() - (sizeof kPendingSuffix - 1)));
        } else if (EndsWith(name, kNewSuffix) && age > kPendingAge) {
            leftovers.emplace_back(name);
        }
    });
    for (const std::string& name : leftovers) {
        platform::RemoveFile(folder_ + name);
    }
    for (const std::string& id : stale) {
        const platform::SmallFile file =
            platform::ReadSmallFile(PathOf(id, kPendingSuffix), kMaxJobFile);
        const std::optional<Job> job = ParseJob(id, file.bytes);
        if (job && platform::PathExists(job->file.path)) {
            Settle(id, *job);
            ids.push_back(id);
        } else {
            DropPending(id);
        }
    }
    return ids;
}

std::vector<Job> Outbox::Load(std::int64_t now) {
    std::vector<Job> jobs;
    for (const std::string& id : ListJobs(now)) {
        if (std::optional<Job> job = Read(id)) {
            jobs.push_back(std::move(*job));
        }
    }
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.id < b.id; });
    return jobs;
}

int Outbox::RetryFailed() {
    int retried = 0;
    for (Job& job : Load(platform::SystemClock().UtcSeconds())) {
        if (!job.failed) {
            continue;
        }
        job.failed = false;
        job.attempts = 0;
        job.nextTry = 0;
        if (Update(job)) {
            ++retried;
        }
    }
    return retried;
}

void Outbox::RecordDelivery(const Job& job, std::int64_t when) {
    std::string path = job.file.path;
    std::replace(path.begin(), path.end(), '\n', ' ');
    const std::string line = std::to_string(when) + "\t" + job.target.Key() + "\t" + path + "\n";
    platform::File record;
    if (!record.OpenForAppend(folder_ + kDeliveredName)) {
        return;
    }
    if (record.Size() > kDeliveredSize) {
        // By name, as an appender's handle has no delete access to rename through on Windows.
        record.Close();
        platform::RemoveFile(folder_ + kDeliveredOldName);
        (void)platform::MoveFileNoReplace(folder_ + kDeliveredName, folder_ + kDeliveredOldName);
        if (!record.OpenForAppend(folder_ + kDeliveredName)) {
            return;
        }
    }
    (void)record.Write(line.data(), line.size());
}

std::vector<std::string> Outbox::Delivered(const Target& target) const {
    std::vector<std::string> paths;
    const std::string key = "\t" + target.Key() + "\t";
    for (const char* name : {kDeliveredOldName, kDeliveredName}) {
        const platform::SmallFile record =
            platform::ReadSmallFile(folder_ + name, 2 * kDeliveredSize);
        std::string_view text = record.bytes;
        for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;
             text.remove_prefix(end + 1)) {
            const std::string_view line = text.substr(0, end);
            const std::size_t at = line.find(key);
            if (at != std::string_view::npos) {
                paths.emplace_back(line.substr(at + key.size()));
            }
        }
    }
    return paths;
}

void Outbox::RememberTargets(const std::vector<Target>& targets) {
    std::vector<Target> known = KnownTargets();
    std::string text;
    for (const Target& target : known) {
        text += TargetText(target);
    }
    bool added = false;
    for (const Target& target : targets) {
        if (std::find(known.begin(), known.end(), target) == known.end()) {
            text += TargetText(target);
            added = true;
        }
    }
    if (!added) {
        return;
    }
    // Written whole under a name of its own and moved over the list: a reader sees the old list
    // or the new one. Two receivers starting at once may each lose the other's line; the next
    // start of either adds it again.
    platform::File file;
    if (WriteNewFile(file, folder_ + kTargetsName + UniqueSuffix(), text, true) &&
        file.MoveOver(folder_ + kTargetsName) != platform::FileOutcome::Done) {
        file.Remove();
    }
}

std::vector<Target> Outbox::KnownTargets() const {
    return ParseTargets(platform::ReadSmallFile(folder_ + kTargetsName, kMaxJobFile).bytes);
}

}  // namespace handoff
