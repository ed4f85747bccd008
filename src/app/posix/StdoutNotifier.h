#pragma once

#include "link/ReceiverEvents.h"

// Shows notifications as lines on standard output: title, text and, for a received file, its
// path, separated by tabs. Runs on the event queue's thread; each line is written whole.
class StdoutNotifier final : public ReceiverEvents {
public:
    void Report(const ReceiverEvent& event) override;
};
