#include "link/Worker.h"

unsigned WorkerEntry(void* argument) {
    CWorker* worker = static_cast<CWorker*>(argument);
    worker->Open();
    while (worker->Run()) {
    }
    worker->Close();
    delete worker;
    return 0;
}
