#include "handoff/Forwarder.h"

#include "handoff/TargetRunner.h"

namespace handoff {

FileFacts FactsOf(const ReceivedFile& file) {
    FileFacts facts;
    facts.path = file.path;
    // Decoded from the folder, so that a job written before the transfer ended and one built
    // from its event say the same.
    facts.serial = SerialFromDirectoryName(file.folder);
    facts.folder = file.folder;
    facts.name = file.name;
    facts.size = file.size;
    facts.received = file.received;
    facts.lastWrite = file.lastWrite;
    return facts;
}

namespace {

Job NewJob(const FileFacts& file, const Target& target) {
    Job job;
    job.id = JobId(file, target);
    job.target = target;
    job.file = file;
    return job;
}

}  // namespace

Forwarder::Forwarder(ForwardConfig config) : config_(std::move(config)), outbox_(config_.outbox) {}

Forwarder::~Forwarder() {
    Stop();
}

bool Forwarder::Start(ReceiverEvents& log) {
    log_ = &log;
    outbox_.RememberTargets(config_.targets);
    for (const Target& target : config_.targets) {
        runners_.push_back(std::make_unique<TargetRunner>(config_, target, outbox_, log));
        if (!runners_.back()->Start()) {
            return false;
        }
    }
    return true;
}

void Forwarder::Stop() {
    for (const auto& runner : runners_) {
        runner->Stop();
    }
}

void Forwarder::Intend(const ReceivedFile& made) {
    const FileFacts file = FactsOf(made);
    bool written = true;
    for (const auto& runner : runners_) {
        const Job job = NewJob(file, runner->Where());
        if (!outbox_.WritePending(job)) {
            written = false;
            ConnectionLog(*log_, "Forwarding %s/%s to %s failed: the outbox %s cannot be written\n",
                          file.folder.c_str(), file.name.c_str(), runner->Where().where.c_str(),
                          outbox_.Folder().c_str());
        }
    }
    if (written && !outbox_.SyncFolder()) {
        ConnectionLog(*log_, "Forwarding %s/%s failed: the outbox %s cannot be written\n",
                      file.folder.c_str(), file.name.c_str(), outbox_.Folder().c_str());
    }
}

void Forwarder::Settle(const ReceivedFile& intended, const ReceivedFile* made) {
    const FileFacts before = FactsOf(intended);
    for (const auto& runner : runners_) {
        const std::string pendingId = JobId(before, runner->Where());
        if (made == nullptr) {
            outbox_.DropPending(pendingId);
        } else {
            outbox_.Settle(pendingId, NewJob(FactsOf(*made), runner->Where()));
        }
    }
}

void Forwarder::Report(const ReceiverEvent& event) {
    if (event.kind != ReceiverEvent::Kind::FileReceived) {
        return;
    }
    const FileFacts file = FactsOf(event.file);
    for (const auto& runner : runners_) {
        runner->Add(NewJob(file, runner->Where()));
    }
}

ForwardStatus Forwarder::Status() const {
    ForwardStatus status;
    for (const auto& runner : runners_) {
        runner->AddTo(status);
    }
    return status;
}

HandOff Forwarder::StateOf(const std::string& path) const {
    bool waiting = false;
    bool done = !runners_.empty();
    for (const auto& runner : runners_) {
        const HandOff state = runner->StateOf(path);
        if (state == HandOff::Failed) {
            return state;
        }
        waiting = waiting || state == HandOff::Waiting;
        done = done && state == HandOff::Done;
    }
    return waiting ? HandOff::Waiting : done ? HandOff::Done : HandOff::None;
}

}  // namespace handoff
