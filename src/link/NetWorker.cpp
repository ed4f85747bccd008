#include "link/NetWorker.h"

#include <algorithm>

#include "link/Listener.h"
#include "platform/Event.h"

CNetWorker::CNetWorker(CListener* owner, platform::Event* stop, const LinkContext& linkContext,
                       platform::Socket connection, std::shared_ptr<LogLimiter> addressLog)
    : CTxWorker(owner, stop, linkContext, std::move(addressLog)),
      socket(std::move(connection)),
      id(static_cast<std::int32_t>(socket.Value())) {
    SetConnectionName(kNetConnectionName, static_cast<unsigned>(socket.Value()));
}

void CNetWorker::Open() {
    if (!socket.WatchRead()) {
        watchError = platform::LastSocketError();
    }
}

bool CNetWorker::Finish() {
    listener->WorkerFinished(id);
    return false;
}

bool CNetWorker::Run() {
    // A socket that cannot be waited on would wake the wait at once, every time.
    if (watchError != 0) {
        PeerLog("Connection %s error %d\n", ConnectionName(), watchError);
        return Finish();
    }
    // Readings not yet told of are told once the link falls quiet; the idle time then starts
    // again, as it does after data.
    const int progressMs = ProgressDueMs();
    const bool progressWait = progressMs >= 0 && progressMs < kIdleTimeoutMs;
    switch (platform::WaitForEither(stopEvent->AsWaitable(), socket.Readiness(),
                                    progressWait ? progressMs : kIdleTimeoutMs)) {
        case platform::WaitResult::First:
            // The listener joins every worker when it stops: no report. Hundreds of links may
            // end at once, so even this goes through the limiter.
            PeerLog("Connection %s closed on shutdown\n", ConnectionName());
            return false;
        case platform::WaitResult::Timeout:
            if (progressWait) {
                ReportProgressDue();
                return true;
            }
            PeerLog("Connection %s closed on timeout\n", ConnectionName());
            return Finish();
        case platform::WaitResult::Failed:
            // Waiting again would fail again at once, at full speed: the link ends instead.
            PeerLog("Connection %s error %d\n", ConnectionName(), platform::LastSocketError());
            return Finish();
        case platform::WaitResult::Second:
            break;
    }
    socket.ResetReadiness();
    char buffer[kReadSize];
    for (;;) {
        const platform::IoResult received = socket.Receive(buffer, sizeof buffer);
        switch (received.status) {
            case platform::IoStatus::Ok:
                for (std::size_t offset = 0; offset < received.count; offset += kReceiveSize) {
                    const std::size_t size = std::min(kReceiveSize, received.count - offset);
                    // The session has logged its own reason.
                    if (!OnReceive(buffer + offset, size, false)) {
                        return Finish();
                    }
                }
                break;
            case platform::IoStatus::WouldBlock:
                return true;
            case platform::IoStatus::Closed:
                PeerLog("Connection %s closed by peer\n", ConnectionName());
                return Finish();
            case platform::IoStatus::Failed:
                PeerLog("Connection %s aborted with error %d\n", ConnectionName(), received.error);
                return Finish();
        }
    }
}

void CNetWorker::Close() {
    socket.ShutdownBoth();
    socket.Close();
    PeerLog("Connection %s terminated\n", ConnectionName());
    AbortTransfer();
    ReportLinkClosed(context.events, this);
}
