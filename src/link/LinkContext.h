#pragma once

// What every link of a receiver shares, handed down from the receiver to its listeners and
// from them to each worker: where files go, where reports go, and the whole receiver's share
// of the log lines others can cause. All of it outlives every link.

#include "link/LogCeiling.h"
#include "link/ReceiverEvents.h"

struct StoreConfig;

struct LinkContext {
    const StoreConfig& store;
    ReceiverEvents& events;
    LogCeiling& ceiling;
};
