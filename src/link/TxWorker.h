#pragma once

// A worker that runs the transfer protocol over its link. Every field here is touched only by
// the worker's own thread; the protocol takes no locks.

#include <cstdarg>
#include <cstddef>

#include "link/LogLimiter.h"
#include "link/Worker.h"
#include "platform/Printf.h"
#include "transfer/Session.h"

class CTxWorker : public CWorker, public SessionHost {
public:
    CTxWorker(CListener* owner, platform::Event* stop, const StoreConfig& store)
        : CWorker(owner, stop), session(*this, store, connectionName) {}
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
    // The protocol's complaints held back this second are summed up once it is over, and all
    // of them when the link ends (`final`).
    void FlushComplaints(bool final = false) { complaints.Flush(final); }
    int ComplaintsDueMs() const { return complaints.MsUntilDue(); }
    bool ComplaintsPending() const { return complaints.Pending(); }

    Session session;

private:
    void LogV(const char* format, std::va_list arguments) override;
    void ComplainV(const char* format, std::va_list arguments) override;
    void NotifyFileV(const char* title, const char* path, const char* format,
                     std::va_list arguments) override;
    void SerialKnown(const char* serial) override;

    // The session keeps a pointer to it; the concrete worker fills it in.
    char connectionName[16] = {};
    // A device that is no instrument, or noise on the line, draws a refusal for every line.
    LogLimiter complaints{connectionName};
};
