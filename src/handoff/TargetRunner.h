#pragma once

// The jobs of one target, worked on by one thread. Only one receiver at a time runs a target's
// jobs from one outbox: the runner holds the target's lock file, and a receiver that cannot get
// it only queues jobs, which the holder finds at its next look at the outbox.
//
// Threads: Add, Wake and Stop run on any thread and touch only `mutex_`'s fields (`inbox_`,
// `stopping_`) and `status_` (under `statusMutex_`); everything else is the runner thread's.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "handoff/Forwarder.h"

namespace handoff {

class TargetRunner {
public:
    TargetRunner(const ForwardConfig& config, Target target, Outbox& outbox, ReceiverEvents& log);
    ~TargetRunner();
    TargetRunner(const TargetRunner&) = delete;
    TargetRunner& operator=(const TargetRunner&) = delete;

    [[nodiscard]] bool Start();
    void Stop();
    const Target& Where() const { return target_; }
    // A job this receiver queued; the runner takes it at once if it holds the target.
    void Add(const Job& job);
    void AddTo(ForwardStatus& status) const;
    HandOff StateOf(const std::string& path) const;

private:
    struct FolderAttempt;

    void Run();
    // Waits until `until`, a new job or the stop; false once stopping.
    bool Pause(std::chrono::steady_clock::time_point until);
    bool HasInbox();
    void TakeInbox();
    void Rescan();
    // Whether a name in the outbox was made, renamed or removed since the last look: the user's
    // `outbox add` and `outbox retry`, or another receiver's jobs.
    bool OutboxChanged() const;
    Job* NextDue(std::int64_t now);
    // The ids of the jobs to try now together; none when nothing is due.
    std::vector<std::string> NextBatch(std::int64_t now);
    void Work(const std::vector<std::string>& batch);
    // What a try came to: the job ends, waits, or fails, and the target's state follows.
    void Record(Job& job, const Outcome& outcome);
    Outcome DeliverByCommand(const Job& job);
    std::vector<Outcome> DeliverToFolderGuarded(const std::vector<FileFacts>& files);
    void Answered();
    // Shows the jobs to the page: at once when `now`, else at most twice a second, as a
    // backlog of thousands drains.
    void Publish(bool now);
    std::chrono::seconds Backoff(int tries);

    const ForwardConfig& config_;
    const Target target_;
    const std::string name_;  // the target as log lines name it
    Outbox& outbox_;
    ReceiverEvents& log_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Job> inbox_;
    bool stopping_ = false;
    std::atomic<bool> cancel_{false};

    mutable std::mutex statusMutex_;
    ForwardStatus status_;
    std::unordered_map<std::string, bool> queued_;  // path: failed
    std::unordered_set<std::string> delivered_;     // paths

    // The runner thread's own.
    platform::File lock_;
    std::map<std::string, Job> jobs_;  // by id: oldest first
    std::chrono::steady_clock::time_point lastRescan_{};
    std::uint64_t outboxStamp_ = 0;  // the outbox folder's last-write time at the last look
    std::chrono::steady_clock::time_point lastPublished_{};
    bool down_ = false;
    int downTries_ = 0;
    std::int64_t nextProbe_ = 0;
    std::shared_ptr<FolderAttempt> stuck_;  // a folder write that did not come back in time
    std::mt19937 random_;

    std::thread thread_;  // started last
};

}  // namespace handoff
