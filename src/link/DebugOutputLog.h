#pragma once

// The connection log as both front ends keep it: every line goes to the developer's trace (the
// debugger output on Windows, standard error on Linux), the rest of the events to others.

#include "link/ReceiverEvents.h"
#include "platform/DebugOutput.h"

class DebugOutputLog final : public ReceiverEvents {
public:
    void Report(const ReceiverEvent& event) override {
        if (event.kind == ReceiverEvent::Kind::Log) {
            platform::WriteDebugOutput(event.text.c_str());
        }
    }
};
