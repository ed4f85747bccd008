#include "link/Worker.h"

void WorkerEntry(CWorker* worker) {
    worker->Open();
    while (worker->Run()) {
    }
    worker->Close();
    delete worker;
}
