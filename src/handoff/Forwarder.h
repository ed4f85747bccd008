#pragma once

// The hand-off: every finished file handed on to each target the user set, at least once,
// through the outbox. A job is on the disk before its file gets its final name (the store's
// FinishJournal), so no crash leaves a finished file that nobody knows to hand on; the receiver's
// FileReceived event then wakes the target's runner. Each target has a thread of its own: a hung
// share and a slow command never hold each other up, and neither ever holds up a transfer.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "datafolder/Store.h"
#include "handoff/Job.h"
#include "handoff/Outbox.h"
#include "link/ReceiverEvents.h"
#include "platform/Clock.h"

namespace handoff {

class TargetRunner;

struct ForwardConfig {
    std::string outbox;
    std::vector<Target> targets;
    // How long a command may run before it and everything it started are stopped.
    std::chrono::seconds commandTimeout{600};
    // How long a folder write may go without an end before the target counts as down.
    std::chrono::seconds folderStall{120};
    // How often the outbox is listed whatever its folder's last-write time says: jobs that other
    // processes queued or retried are found within a second where the folder keeps that time,
    // and within this where it does not (or when another receiver held the target).
    std::chrono::seconds rescan{30};
    const platform::Clock* clock = &platform::SystemClock();
};

// What the page shows of the hand-off.
struct ForwardStatus {
    int waiting = 0;
    std::vector<Job> failed;
    std::int64_t lastDelivery = 0;  // UTC seconds; 0 for none yet
    std::string lastDelivered;      // "<folder>/<name>"
    std::vector<std::string> down;  // targets that do not answer, with the reason
};

// How far a file has come on its way to the targets.
enum class HandOff { None, Waiting, Failed, Done };

class Forwarder final : public FinishJournal, public ReceiverEvents {
public:
    explicit Forwarder(ForwardConfig config);
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // `log` takes the hand-off's log lines and notices until Stop. It is given here rather
    // than at construction because it is usually the queue the forwarder itself consumes.
    // False when a runner's thread could not be started.
    [[nodiscard]] bool Start(ReceiverEvents& log);
    // Ends the runners; a command still running is stopped and its job stays waiting.
    void Stop();

    void Intend(const ReceivedFile& made) override;
    void Settle(const ReceivedFile& intended, const ReceivedFile* made) override;
    void Report(const ReceiverEvent& event) override;

    ForwardStatus Status() const;
    // Failed if any target failed it, else Waiting if any still waits for it, else Done if
    // every target has it; None for a file never queued.
    HandOff StateOf(const std::string& path) const;

private:
    const ForwardConfig config_;
    ReceiverEvents* log_ = nullptr;
    Outbox outbox_;
    std::vector<std::unique_ptr<TargetRunner>> runners_;
};

// The facts of a file the store finished, as a job keeps them.
FileFacts FactsOf(const ReceivedFile& file);

}  // namespace handoff
