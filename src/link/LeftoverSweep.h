#pragma once

// Deletes, once an hour, the unfinished files that receivers which are gone left in the Data
// folder. The start-up clean-up cannot take those that were still young then: a file whose
// writer may be alive on another mount of a shared folder is only called a leftover once it has
// not changed for an hour. Its own thread, which alone runs the sweep.

#include <string>

#include "link/ReceiverEvents.h"
#include "link/Threaded.h"

class CLeftoverSweep : public CThreaded {
public:
    // `dataFolder` and `receiverEvents` must outlive the sweep.
    CLeftoverSweep(const std::string& dataFolder, ReceiverEvents& receiverEvents,
                   int periodMs = 60 * 60 * 1000)
        : folder(dataFolder), events(receiverEvents), period(periodMs) {}

    void ThreadMain() override;

private:
    const std::string& folder;
    ReceiverEvents& events;
    int period;
};
