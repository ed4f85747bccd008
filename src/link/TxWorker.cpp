#include "link/TxWorker.h"

#include <cstdio>
#include <cstring>

#include "link/ConnectionLog.h"
#include "link/LinkWatch.h"
#include "link/NotifyUser.h"

void CTxWorker::SetConnectionName(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(connectionName, sizeof connectionName, format, arguments);
    va_end(arguments);
}

namespace {

// The session's refusals of what the other side sent: the lines that something other than an
// instrument makes it repeat without end. Its reports of transfers are never held back.
bool IsComplaint(const char* format) {
    for (const char* refusal :
         {" invalid command\n", " unexpected ", " line too long\n", " cannot open firmware\n"}) {
        if (std::strstr(format, refusal) != nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

void CTxWorker::LogV(const char* format, std::va_list arguments) {
    if (IsComplaint(format)) {
        complaints.LogV(format, arguments);
    } else {
        ConnectionLogV(format, arguments);
    }
}

void CTxWorker::NotifyFileV(const char* title, const char* path, const char* format,
                            std::va_list arguments) {
    NotifyUserFileV(title, path, format, arguments);
}

void CTxWorker::SerialKnown(const char* serial) {
    WatchLinkSerial(this, serial);
}
