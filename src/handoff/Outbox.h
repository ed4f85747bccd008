#pragma once

// The outbox folder, where the hand-off keeps its jobs between a file's arrival and its target's
// confirmation. One file per job: "<id>.job", written under a name of its own and renamed into
// place, so that a crash leaves the old state or the new one and never half of one.
// "<id>.pending" is a job written before its file took its final name; "<target key>.lock" is
// held by the one receiver that runs a target's jobs. Receivers may share an outbox: every file
// here has one writer at a time.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "handoff/Job.h"
#include "platform/FileSystem.h"

namespace handoff {

class Outbox {
public:
    // `folder` is where the jobs are kept; a separator is added when it has none at its end.
    explicit Outbox(std::string folder);

    const std::string& Folder() const { return folder_; }
    // Makes the folder and any missing parents, and finds out whether jobs can be written
    // there. False with the reason when not.
    [[nodiscard]] bool Prepare(std::string& error);

    // Puts the job on the disk as pending. The folder is made durable by SyncFolder, once for
    // all the jobs of a file.
    [[nodiscard]] bool WritePending(const Job& job);
    [[nodiscard]] bool SyncFolder();
    // The pending job `pendingId` becomes the waiting `job`: renamed as it is, or, when its file
    // took another name than the one written (and so the job another id), written anew.
    void Settle(const std::string& pendingId, const Job& job);
    // The file of a pending job never became a finished file.
    void DropPending(const std::string& id);

    // Queues a job for a file received earlier; Taken when it is queued already.
    [[nodiscard]] platform::FileOutcome Add(const Job& job);
    // Writes what the last try came to.
    [[nodiscard]] bool Update(const Job& job);
    // The target confirmed: the job ends.
    void Remove(const std::string& id);

    // The ids of the jobs there now, in no order. A pending job older than a minute belongs to
    // a receiver that stopped between writing it and naming its file: it is settled here, kept
    // if its file exists and dropped if not.
    std::vector<std::string> ListJobs(std::int64_t now);
    // Nothing when the job has gone, or its file is not a whole job.
    std::optional<Job> Read(const std::string& id) const;
    // Every job, oldest first.
    std::vector<Job> Load(std::int64_t now);
    // Puts every failed job back to waiting; how many.
    int RetryFailed();

    // Notes that the target confirmed the job, so that the file list can say which files were
    // handed on. The record keeps the last tens of thousands of files.
    void RecordDelivery(const Job& job, std::int64_t when);
    // The paths of the files recorded as delivered to `target`.
    std::vector<std::string> Delivered(const Target& target) const;

    // The targets receivers have forwarded to from this outbox, so that files can be queued for
    // them from a shell that does not know the receivers' settings. Kept in "targets".
    void RememberTargets(const std::vector<Target>& targets);
    std::vector<Target> KnownTargets() const;

    // The path of the lock a target's runner holds.
    std::string LockPath(const Target& target) const;

private:
    std::string PathOf(const std::string& id, const char* suffix) const;
    bool Replace(const Job& job, const char* suffix, bool sync);

    std::string folder_;
};

}  // namespace handoff
