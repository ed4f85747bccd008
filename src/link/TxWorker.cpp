#include "link/TxWorker.h"

#include <cstdio>

#include "link/ConnectionLog.h"
#include "link/LinkWatch.h"
#include "link/NotifyUser.h"

void CTxWorker::SetConnectionName(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(connectionName, sizeof connectionName, format, arguments);
    va_end(arguments);
    if (!peerLog) {
        peerLog = std::make_shared<LogLimiter>(connectionName);
    }
}

void CTxWorker::PeerLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PeerLogV(format, arguments);
    va_end(arguments);
}

void CTxWorker::LogV(const char* format, std::va_list arguments) {
    ConnectionLogV(format, arguments);
}

void CTxWorker::PeerLogV(const char* format, std::va_list arguments) {
    peerLog->LogV(format, arguments);
}

void CTxWorker::NotifyFileV(const char* title, const char* path, const char* format,
                            std::va_list arguments) {
    NotifyUserFileV(title, path, format, arguments);
}

void CTxWorker::SerialKnown(const char* serial) {
    WatchLinkSerial(this, serial);
}
