#include <algorithm>
#include <cstring>

#include "platform/Command.h"

namespace platform {

void OutputLines::Add(const char* bytes, std::size_t count) {
    const char* const end = bytes + count;
    while (bytes < end) {
        const char* newline = static_cast<const char*>(
            std::memchr(bytes, '\n', static_cast<std::size_t>(end - bytes)));
        const char* stop = newline != nullptr ? newline : end;
        if (!skipping_) {
            // One byte past the limit is let in to tell a line of exactly the limit from a longer
            // one. Cutting drops a "\r" there with the rest, as a line end would.
            const std::size_t room = kCommandLineLimit + 1 - pending_.size();
            const std::size_t take = std::min(room, static_cast<std::size_t>(stop - bytes));
            pending_.append(bytes, take);
            if (pending_.size() > kCommandLineLimit) {
                // A command stuck printing without line ends must not grow our memory or our
                // log without bound; the head of the line says enough.
                pending_.resize(kCommandLineLimit);
                outputLine_(pending_);
                pending_.clear();
                skipping_ = true;
            }
        }
        if (newline == nullptr) {
            return;
        }
        if (!skipping_) {
            Emit();
        }
        skipping_ = false;
        bytes = newline + 1;
    }
}

void OutputLines::Finish() {
    if (!skipping_ && !pending_.empty()) {
        Emit();
    }
    skipping_ = false;
}

void OutputLines::Emit() {
    if (!pending_.empty() && pending_.back() == '\r') {
        pending_.pop_back();
    }
    outputLine_(pending_);
    pending_.clear();
}

}  // namespace platform
