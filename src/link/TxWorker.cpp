#include "link/TxWorker.h"

#include <cstdio>

CTxWorker::CTxWorker(CListener* owner, platform::Event* stop)
    : CWorker(owner, stop), clock(&platform::SystemClock()) {}

void CTxWorker::SetConnectionName(const char* format, unsigned value) {
    std::snprintf(connectionName, sizeof connectionName, format, value);
}
