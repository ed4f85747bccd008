#include "handoff/TargetRunner.h"

#include <algorithm>
#include <optional>

#include "handoff/CommandTarget.h"
#include "handoff/FolderTarget.h"
#include "handoff/Sha256.h"

namespace handoff {

namespace {

constexpr std::chrono::seconds kFirstDelay{5};
constexpr std::chrono::seconds kLongestDelay{600};
// A folder's due files are delivered together up to these bounds, so that one flush serves many
// files and a slow share still answers within its time.
constexpr std::size_t kBatchFiles = 64;
constexpr std::uint64_t kBatchBytes = 64 << 20;
// A command's output goes to the log up to this many lines a run; the rest is counted.
constexpr int kOutputLines = 5;

// A command can be long: log lines name it by its start, so that what they say still fits.
std::string Shortened(const std::string& where) {
    constexpr std::size_t kLongest = 60;
    return where.size() <= kLongest ? where : where.substr(0, kLongest - 3) + "...";
}

std::string FileName(const FileFacts& file) {
    return file.folder + "/" + file.name;
}

}  // namespace

// A folder write on a thread of its own, so that a share that stops answering costs the runner
// only the wait: the write is abandoned and the thread left to end when the share lets it.
struct TargetRunner::FolderAttempt {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::vector<Outcome> outcomes;
};

TargetRunner::TargetRunner(const ForwardConfig& config, Target target, Outbox& outbox,
                           ReceiverEvents& log)
    : config_(config),
      target_(std::move(target)),
      name_(Shortened(target_.where)),
      outbox_(outbox),
      log_(log),
      random_(std::random_device{}()) {}

TargetRunner::~TargetRunner() {
    Stop();
}

bool TargetRunner::Start() {
    try {
        thread_ = std::thread(&TargetRunner::Run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TargetRunner::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
    }
    cancel_ = true;
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TargetRunner::Add(const Job& job) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        inbox_.push_back(job);
    }
    wake_.notify_all();
}

void TargetRunner::AddTo(ForwardStatus& status) const {
    std::lock_guard<std::mutex> hold(statusMutex_);
    status.waiting += status_.waiting;
    status.failed.insert(status.failed.end(), status_.failed.begin(), status_.failed.end());
    if (status_.lastDelivery >= status.lastDelivery && status_.lastDelivery != 0) {
        status.lastDelivery = status_.lastDelivery;
        status.lastDelivered = status_.lastDelivered;
    }
    status.down.insert(status.down.end(), status_.down.begin(), status_.down.end());
}

bool TargetRunner::Pause(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> hold(mutex_);
    wake_.wait_until(hold, until, [this] { return stopping_ || !inbox_.empty(); });
    return !stopping_;
}

bool TargetRunner::HasInbox() {
    std::lock_guard<std::mutex> hold(mutex_);
    return !inbox_.empty();
}

void TargetRunner::TakeInbox() {
    std::vector<Job> fresh;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        fresh.swap(inbox_);
    }
    // A look at the outbox may have found and delivered a job before its event came through a
    // busy queue: that one must not run a second time.
    std::lock_guard<std::mutex> hold(statusMutex_);
    for (Job& job : fresh) {
        if (!delivered_.contains(job.file.path)) {
            jobs_.try_emplace(job.id, std::move(job));
        }
    }
}

bool TargetRunner::OutboxChanged() const {
    return platform::LastWriteOf(outbox_.Folder()) != outboxStamp_;
}

void TargetRunner::Rescan() {
    lastRescan_ = std::chrono::steady_clock::now();
    // Taken before the listing, so that a change during it is seen at the next look.
    outboxStamp_ = platform::LastWriteOf(outbox_.Folder());
    const std::string key = target_.Key();
    std::map<std::string, Job> seen;
    for (const std::string& id : outbox_.ListJobs(config_.clock->UtcSeconds())) {
        if (id.size() < key.size() || id.compare(id.size() - key.size(), key.size(), key) != 0) {
            continue;
        }
        const auto known = jobs_.find(id);
        // Waiting jobs change only here; failed ones may have been put back by the user.
        if (known != jobs_.end() && !known->second.failed) {
            seen.emplace(id, std::move(known->second));
        } else if (std::optional<Job> job = outbox_.Read(id)) {
            if (job->target == target_) {
                seen.emplace(id, std::move(*job));
            }
        }
    }
    // A job gone from the disk was delivered by another receiver or taken away by the user.
    jobs_.swap(seen);
}

Job* TargetRunner::NextDue(std::int64_t now) {
    if (stuck_) {
        std::lock_guard<std::mutex> hold(stuck_->mutex);
        if (!stuck_->done) {
            return nullptr;
        }
        stuck_.reset();
    }
    for (auto& [id, job] : jobs_) {
        if (job.failed) {
            continue;
        }
        // While the target is down only its oldest job asks whether it is back.
        if (down_) {
            return now >= nextProbe_ ? &job : nullptr;
        }
        if (job.nextTry <= now) {
            return &job;
        }
    }
    return nullptr;
}

std::chrono::seconds TargetRunner::Backoff(int tries) {
    std::chrono::seconds delay = kFirstDelay;
    for (int i = 1; i < tries && delay < kLongestDelay; ++i) {
        delay *= 2;
    }
    delay = std::min(delay, kLongestDelay);
    // Jobs that failed together are not all tried again at one instant.
    std::uniform_int_distribution<long long> jitter(0, delay.count() / 4);
    return delay - std::chrono::seconds(jitter(random_));
}

std::vector<Outcome> TargetRunner::DeliverToFolderGuarded(const std::vector<FileFacts>& files) {
    auto attempt = std::make_shared<FolderAttempt>();
    try {
        std::thread([attempt, where = target_.where, files] {
            std::vector<Outcome> outcomes = DeliverToFolder(where, files);
            std::lock_guard<std::mutex> hold(attempt->mutex);
            attempt->outcomes = std::move(outcomes);
            attempt->done = true;
            attempt->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return DeliverToFolder(target_.where, files);
    }
    // Slow shares get a second per megabyte on top.
    std::uint64_t bytes = 0;
    for (const FileFacts& file : files) {
        bytes += file.size;
    }
    const auto allowed = config_.folderStall + std::chrono::seconds(bytes >> 20);
    const auto giveUp = std::chrono::steady_clock::now() + allowed;
    std::unique_lock<std::mutex> hold(attempt->mutex);
    // Looked at often, so that a stop never waits for a hung share.
    while (!attempt->ended.wait_for(hold, std::chrono::milliseconds(100),
                                    [&] { return attempt->done; })) {
        if (cancel_ || std::chrono::steady_clock::now() >= giveUp) {
            stuck_ = attempt;
            return std::vector<Outcome>(
                files.size(), {Verdict::TargetDown,
                               "no answer within " + std::to_string(allowed.count()) + " s"});
        }
    }
    return attempt->outcomes;
}

Outcome TargetRunner::DeliverByCommand(const Job& job) {
    int lines = 0;
    const std::string file = FileName(job.file);
    const Outcome outcome = handoff::DeliverByCommand(
        target_.where, job.file, config_.commandTimeout, cancel_, [&](std::string_view line) {
            if (++lines <= kOutputLines) {
                ConnectionLog(log_, "Forwarding %s: %.*s\n", file.c_str(), int(line.size()),
                              line.data());
            }
        });
    if (lines > kOutputLines) {
        ConnectionLog(log_, "Forwarding %s: %d more lines of output\n", file.c_str(),
                      lines - kOutputLines);
    }
    return outcome;
}

void TargetRunner::Answered() {
    if (!down_) {
        return;
    }
    down_ = false;
    downTries_ = 0;
    const auto waiting = std::count_if(jobs_.begin(), jobs_.end(),
                                       [](const auto& entry) { return !entry.second.failed; });
    ConnectionLog(log_, "Forwarding to %s resumed, %d files waiting\n", name_.c_str(),
                  int(waiting));
}

std::vector<std::string> TargetRunner::NextBatch(std::int64_t now) {
    std::vector<std::string> batch;
    Job* first = NextDue(now);
    if (first == nullptr) {
        return batch;
    }
    batch.push_back(first->id);
    // A folder takes the due files together, with one flush of its disk for all; a target that
    // is down is asked with one file only, and a command runs once per file anyway.
    if (target_.kind != Target::Kind::Folder || down_) {
        return batch;
    }
    std::uint64_t bytes = first->file.size;
    for (auto it = std::next(jobs_.find(first->id));
         it != jobs_.end() && batch.size() < kBatchFiles && bytes < kBatchBytes; ++it) {
        if (!it->second.failed && it->second.nextTry <= now) {
            batch.push_back(it->first);
            bytes += it->second.file.size;
        }
    }
    return batch;
}

void TargetRunner::Work(const std::vector<std::string>& batch) {
    std::vector<std::optional<Outcome>> outcomes(batch.size());
    std::vector<FileFacts> files;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Job& job = jobs_.at(batch[i]);
        // A command is given the digest, taken once at its first try. A folder copy takes it
        // on the way and is checked against it: a pass of its own would read the file twice.
        if (job.file.sha256.empty() && target_.kind == Target::Kind::Command) {
            const FileDigest digest = HashFile(job.file.path);
            if (!digest.read) {
                outcomes[i] = {Verdict::Failed, "the file is no longer in the Data folder"};
            } else if (digest.size != job.file.size) {
                outcomes[i] = {Verdict::Failed, "the file in the Data folder has changed"};
            }
            job.file.sha256 = digest.sha256;
        }
        if (!outcomes[i]) {
            files.push_back(job.file);
        }
    }
    if (target_.kind == Target::Kind::Folder && !files.empty()) {
        std::vector<Outcome> delivered = DeliverToFolderGuarded(files);
        for (std::size_t i = 0, next = 0; i < batch.size(); ++i) {
            if (!outcomes[i]) {
                outcomes[i] = std::move(delivered[next++]);
            }
        }
    } else if (!files.empty()) {
        outcomes[0] = DeliverByCommand(jobs_.at(batch[0]));
    }
    if (cancel_) {
        return;  // stopped with the receiver: the jobs stay as they were
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
        Record(jobs_.at(batch[i]), *outcomes[i]);
    }
}

void TargetRunner::Record(Job& job, const Outcome& outcome) {
    const std::int64_t now = config_.clock->UtcSeconds();
    const std::string file = FileName(job.file);
    if (outcome.verdict == Verdict::Delivered) {
        outbox_.Remove(job.id);
        outbox_.RecordDelivery(job, now);
        {
            std::lock_guard<std::mutex> hold(statusMutex_);
            status_.lastDelivery = now;
            status_.lastDelivered = file;
            delivered_.insert(job.file.path);
            queued_.erase(job.file.path);
        }
        jobs_.erase(std::string(job.id));  // a copy: the key must outlive its node
        Answered();
        return;
    }
    ++job.attempts;
    job.lastError = outcome.reason;
    switch (outcome.verdict) {
        case Verdict::TargetDown:
            // Said once for the outage, never once per try.
            if (!down_) {
                down_ = true;
                ConnectionLog(log_, "Forwarding to %s failed: %s\n", name_.c_str(),
                              outcome.reason.c_str());
                WarnUser(log_, "Forwarding Failed", "Forwarding to %s failed: %s", name_.c_str(),
                         outcome.reason.c_str());
            }
            ++downTries_;
            nextProbe_ = now + Backoff(downTries_).count();
            break;
        case Verdict::TryAgain:
            Answered();
            job.nextTry = now + Backoff(job.attempts).count();
            break;
        case Verdict::Failed:
            job.failed = true;
            Answered();
            ConnectionLog(log_, "Forwarding %s to %s failed: %s\n", file.c_str(), name_.c_str(),
                          outcome.reason.c_str());
            break;
        case Verdict::Delivered:
            break;
    }
    (void)outbox_.Update(job);
}

HandOff TargetRunner::StateOf(const std::string& path) const {
    std::lock_guard<std::mutex> hold(statusMutex_);
    if (const auto queued = queued_.find(path); queued != queued_.end()) {
        return queued->second ? HandOff::Failed : HandOff::Waiting;
    }
    return delivered_.contains(path) ? HandOff::Done : HandOff::None;
}

void TargetRunner::Publish(bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - lastPublished_ < std::chrono::milliseconds(500)) {
        return;
    }
    lastPublished_ = at;
    std::lock_guard<std::mutex> hold(statusMutex_);
    status_.waiting = 0;
    status_.failed.clear();
    queued_.clear();
    for (const auto& [id, job] : jobs_) {
        queued_[job.file.path] = job.failed;
        if (job.failed) {
            status_.failed.push_back(job);
        } else {
            ++status_.waiting;
        }
    }
    status_.down.clear();
    if (down_) {
        const auto oldest = std::find_if(jobs_.begin(), jobs_.end(),
                                         [](const auto& entry) { return !entry.second.failed; });
        status_.down.push_back(name_ + ": " +
                               (oldest != jobs_.end() ? oldest->second.lastError : ""));
    }
}

void TargetRunner::Run() {
    using Clock = std::chrono::steady_clock;
    // Another receiver may run this target from the same outbox; it is asked again now and then,
    // since it may stop.
    while (!lock_.OpenHeld(outbox_.LockPath(target_))) {
        if (!Pause(Clock::now() + config_.rescan)) {
            return;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        inbox_.clear();  // the holder finds them on the disk
    }
    {
        std::vector<std::string> delivered = outbox_.Delivered(target_);
        std::lock_guard<std::mutex> hold(statusMutex_);
        delivered_.insert(delivered.begin(), delivered.end());
    }
    Rescan();
    for (;;) {
        const bool fresh = HasInbox();
        TakeInbox();
        if (Clock::now() - lastRescan_ >= config_.rescan || OutboxChanged()) {
            Rescan();
        }
        Publish(fresh);
        const std::int64_t now = config_.clock->UtcSeconds();
        if (const std::vector<std::string> batch = NextBatch(now); !batch.empty()) {
            Work(batch);
            if (cancel_) {
                return;
            }
            continue;
        }
        // Nothing due: sleep until the next job is, or the next look at the outbox.
        Publish(true);
        auto until = lastRescan_ + config_.rescan;
        std::int64_t next = down_ ? nextProbe_ : INT64_MAX;
        for (const auto& [id, job] : jobs_) {
            if (!job.failed && !down_) {
                next = std::min(next, job.nextTry);
            }
        }
        // A stuck write is checked on, and the outbox's folder looked at, every second: a
        // look is one stat, and a full listing only follows a change. Folders that keep no
        // last-write time for their names still get the full look every config_.rescan.
        until = std::min(until, Clock::now() + std::chrono::seconds(1));
        if (next != INT64_MAX) {
            until = std::min(
                until, Clock::now() + std::chrono::seconds(std::max<std::int64_t>(next - now, 1)));
        }
        if (!Pause(until)) {
            return;
        }
    }
}

}  // namespace handoff
