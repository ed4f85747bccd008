#pragma once

// A worker that runs the transfer protocol over its link. Every field here is touched only by
// the worker's own thread; the protocol takes no locks. The limiter `peerLog` points to may be
// shared with other links of the same source, and locks itself.

#include <cstdarg>
#include <cstddef>
#include <memory>

#include "link/LinkContext.h"
#include "link/LogLimiter.h"
#include "link/Worker.h"
#include "platform/Printf.h"
#include "transfer/Session.h"

class CTxWorker : public CWorker, public SessionHost {
public:
    // `sourceLog` limits the lines the other side can cause, shared by every link of one remote
    // address or port so that it outlives each of them; without one the link has its own.
    CTxWorker(CListener* owner, platform::Event* stop, const LinkContext& linkContext,
              std::shared_ptr<LogLimiter> sourceLog = nullptr)
        : CWorker(owner, stop),
          session(*this, linkContext.store, connectionName),
          context(linkContext),
          peerLog(std::move(sourceLog)) {}
    ~CTxWorker() override = default;

    // Feeds one chunk received from the link to the protocol; false on a protocol error or a
    // file that could not be stored.
    bool OnReceive(const char* data, std::size_t count, bool serialLink) {
        return session.OnReceive(data, count, serialLink);
    }
    void DiscardLine() { session.DiscardLine(); }
    void AbortTransfer() { session.AbortTransfer(); }

    const char* ConnectionName() const { return connectionName; }

protected:
    // Formats the link's name ("S%u", "COM%u") once, when the worker is created; a name that
    // does not fit the 15 characters is cut.
    void SetConnectionName(const char* format, ...) ORB_PRINTF(2, 3);
    TxState State() const { return session.State(); }
    // A log line the other side caused (its link opened or closed, a refusal, a failure it
    // provokes again and again): written only as the source's limiter allows.
    void PeerLog(const char* format, ...) ORB_PRINTF(2, 3);
    // The lines held back this second are summed up once it is over.
    void FlushPeerLog() { peerLog->Flush(); }
    int PeerLogDueMs() const { return peerLog->MsUntilDue(); }
    bool PeerLogPending() const { return peerLog->Pending(); }

    // A transfer's readings not yet told of (Session::ProgressDueMs, ReportProgressDue).
    int ProgressDueMs() const { return session.ProgressDueMs(); }
    void ReportProgressDue() { session.ReportProgressDue(); }

    // A line of the connection log that is always written.
    void Log(const char* format, ...) ORB_PRINTF(2, 3);

    Session session;
    const LinkContext context;

private:
    void LogV(const char* format, std::va_list arguments) override;
    void PeerLogV(const char* format, std::va_list arguments) override;
    void FileReceived(const ReceivedFile& file) override;
    void SerialKnown(const char* serial) override;
    void TransferProgress(const ReceivedFile& sofar) override;
    void TransferAborted() override;

    // The session keeps a pointer to it; the concrete worker fills it in.
    char connectionName[16] = {};
    // A device that is no instrument, or noise on the line, draws a refusal for every line, and
    // a host that keeps connecting a pair of lines for every connection.
    std::shared_ptr<LogLimiter> peerLog;
};
