#include "link/TxWorker.h"

#include <cstdio>

void CTxWorker::SetConnectionName(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(connectionName, sizeof connectionName, format, arguments);
    va_end(arguments);
    if (!peerLog) {
        peerLog = std::make_shared<LogLimiter>(connectionName, context.ceiling);
    }
}

void CTxWorker::PeerLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    PeerLogV(format, arguments);
    va_end(arguments);
}

void CTxWorker::Log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LogV(format, arguments);
    va_end(arguments);
}

void CTxWorker::LogV(const char* format, std::va_list arguments) {
    ConnectionLogV(context.events, format, arguments);
}

void CTxWorker::PeerLogV(const char* format, std::va_list arguments) {
    peerLog->LogV(format, arguments);
}

void CTxWorker::FileReceived(const ReceivedFile& file) {
    NotifyUserFile(context.events, file, this);
}

void CTxWorker::SerialKnown(const char* serial) {
    ReportLinkSerial(context.events, this, serial);
}

void CTxWorker::TransferProgress(const ReceivedFile& sofar) {
    ReportTransferProgress(context.events, this, sofar);
}

void CTxWorker::TransferAborted() {
    ReportTransferAborted(context.events, this);
}
