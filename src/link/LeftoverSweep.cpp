#include "link/LeftoverSweep.h"

#include "datafolder/Store.h"
#include "platform/Waitable.h"

void CLeftoverSweep::ThreadMain() {
    while (platform::WaitFor(stopEvent->AsWaitable(), period) == platform::WaitResult::Timeout) {
        if (const int removed = RemoveLeftoverTempFiles(folder); removed > 0) {
            ConnectionLog(events,
                          "Connection Data deleted %d unfinished file(s) left by a receiver that "
                          "is gone\n",
                          removed);
        }
    }
}
