#include "link/TxWorker.h"

#include <cstdarg>
#include <cstdio>

CTxWorker::CTxWorker(CListener* owner, platform::Event* stop)
    : CWorker(owner, stop), clock(&platform::SystemClock()) {}

void CTxWorker::SetConnectionName(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(connectionName, sizeof connectionName, format, arguments);
    va_end(arguments);
}
