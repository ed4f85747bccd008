#pragma once

#include <mutex>

#include "link/NotifyUser.h"

// Shows notifications as lines on standard output: title, text and, for a received file, its
// path, separated by tabs. Workers notify concurrently; each line is written whole.
class StdoutNotifier : public NotifySink {
public:
    void Deliver(const UiNotice& notice) override;

private:
    std::mutex mutex_;
};
