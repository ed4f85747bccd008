#include "app/posix/OutboxCommands.h"

#include <cstdio>

#include "datafolder/Store.h"
#include "handoff/Forwarder.h"
#include "handoff/Outbox.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace {

// A tab or a line end inside a field would break the listing's lines and columns.
std::string Cell(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text.empty() ? "-" : text;
}

// The outbox of a receiver that never forwarded is simply empty, not an error.
bool Missing(const std::string& outbox) {
    return !platform::IsDirectory(outbox);
}

}  // namespace

int ListOutbox(const std::string& outbox) {
    if (Missing(outbox)) {
        return 0;
    }
    handoff::Outbox box(outbox);
    std::string text;
    for (const handoff::Job& job : box.Load(platform::SystemClock().UtcSeconds())) {
        text += job.failed ? "failed" : "waiting";
        for (const std::string& cell :
             {handoff::ListTime(job.file.received), Cell(job.file.serial), Cell(job.file.name),
              Cell(job.target.where), std::to_string(job.attempts),
              job.failed || job.nextTry == 0 ? std::string("-") : handoff::ListTime(job.nextTry),
              Cell(job.lastError)}) {
            text += '\t';
            text += cell;
        }
        text += '\n';
    }
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int RetryOutbox(const std::string& outbox) {
    const int retried = Missing(outbox) ? 0 : handoff::Outbox(outbox).RetryFailed();
    std::printf("orbtray: %d failed file(s) put back to waiting\n", retried);
    return 0;
}

int AddToOutbox(const std::string& outbox, std::vector<handoff::Target> targets,
                const std::vector<std::string>& files) {
    handoff::Outbox box(outbox);
    // Without targets of its own, the files go to every target forwarded to from this outbox.
    if (targets.empty()) {
        targets = box.KnownTargets();
    }
    if (targets.empty()) {
        std::fprintf(stderr,
                     "orbtray: no target: give --forward-to DIR or --on-file CMD (no orbtray "
                     "has forwarded from the outbox %s yet)\n",
                     outbox.c_str());
        return 2;
    }
    if (std::string error; !box.Prepare(error)) {
        std::fprintf(stderr, "orbtray: cannot use the outbox %s: %s\n", outbox.c_str(),
                     error.c_str());
        return 1;
    }
    int status = 0;
    for (const std::string& path : files) {
        platform::File file;
        if (!file.OpenForReading(path) || platform::IsDirectory(path)) {
            std::fprintf(stderr, "orbtray: cannot read %s\n", path.c_str());
            status = 1;
            continue;
        }
        // The file's place in the Data folder is its serial folder and name, as the store made
        // them; its time of arrival is its last write, the moment it was finished.
        ReceivedFile received;
        received.path = path;
        const std::size_t slash = path.rfind(platform::kPathSeparator);
        received.name = path.substr(slash + 1);
        const std::size_t folderStart =
            slash == 0 ? 0 : path.rfind(platform::kPathSeparator, slash - 1) + 1;
        received.folder = path.substr(folderStart, slash - folderStart);
        received.size = file.Size();
        received.lastWrite = file.LastWrite();
        received.received = platform::UtcSecondsOfFileTime(received.lastWrite);
        const handoff::FileFacts facts = handoff::FactsOf(received);
        for (const handoff::Target& target : targets) {
            handoff::Job job;
            job.id = handoff::JobId(facts, target);
            job.target = target;
            job.file = facts;
            switch (box.Add(job)) {
                case platform::FileOutcome::Done:
                    std::printf("orbtray: queued %s for %s\n", path.c_str(), target.where.c_str());
                    break;
                case platform::FileOutcome::Taken:
                    std::printf("orbtray: %s is queued for %s already\n", path.c_str(),
                                target.where.c_str());
                    break;
                default:
                    std::fprintf(stderr, "orbtray: cannot queue %s: the outbox cannot be written\n",
                                 path.c_str());
                    status = 1;
            }
        }
    }
    return status;
}
