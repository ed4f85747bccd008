#pragma once

// Serves one accepted TCP connection. The link is receive-only: the protocol's replies are not
// sent to a network instrument. Everything here runs on the worker's own thread.

#include <memory>

#include "link/TxWorker.h"
#include "platform/Socket.h"

// A TCP link is named after its socket value.
inline constexpr char kNetConnectionName[] = "S%u";

class CNetWorker : public CTxWorker {
public:
    // `addressLog` limits the lines of every connection from the same remote address.
    CNetWorker(CListener* owner, platform::Event* stop, const LinkContext& linkContext,
               platform::Socket connection, std::shared_ptr<LogLimiter> addressLog = nullptr);

    void Open() override;
    bool Run() override;
    void Close() override;
    void SendAck() override {}
    void SendNak() override {}
    void SendLine(const char*) override {}

private:
    static constexpr int kIdleTimeoutMs = 10000;
    // The session is handed at most this much at a time...
    static constexpr std::size_t kReceiveSize = 1024;
    // ...but one system call may fetch more: TCP keeps no boundaries, so slicing a large read is
    // the same as a run of small reads that happened to return those bytes, at a fraction of the
    // cost per byte.
    static constexpr std::size_t kReadSize = 64 * 1024;

    // Ends the worker on its own: the listener joins the thread at its next reaping.
    bool Finish();

    platform::Socket socket;
    std::int32_t id;
    int watchError = 0;  // why the socket could not be watched for reading, 0 if it was
};
