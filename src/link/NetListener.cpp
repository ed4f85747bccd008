#include "link/NetListener.h"

#include <cstdio>
#include <memory>

#include "link/ConnectionLog.h"
#include "link/NetWorker.h"

void CNetListener::Open() {
    listening = platform::Socket::ListenTcp(port, kBacklog);
    if (listening.IsValid() && !listening.WatchAccept()) {
        listening.Close();
    }
}

bool CNetListener::Poll() {
    // A port held by another program leaves the listener with nothing to do: it ends quietly.
    if (!listening.IsValid()) {
        return false;
    }
    switch (platform::WaitForEither(stopEvent->AsWaitable(), listening.Readiness(), kPollMs)) {
        case platform::WaitResult::First:
            return false;
        case platform::WaitResult::Second:
            listening.ResetReadiness();
            Accept();
            return true;
        case platform::WaitResult::Timeout:
            ReapFinished();
            return true;
        case platform::WaitResult::Failed:
            return true;
    }
    return true;
}

void CNetListener::Accept() {
    // One connection per pass; another pending one signals again for the next pass.
    platform::Ipv4Endpoint peer;
    platform::Socket connection = listening.Accept(&peer);
    if (!connection.IsValid()) {
        return;
    }
    const auto id = static_cast<std::int32_t>(connection.Value());
    if (WorkerCount() >= kMaxNetWorkers) {
        ReapFinished();
    }
    if (WorkerCount() >= kMaxNetWorkers && !HasWorker(id)) {
        char name[16];
        std::snprintf(name, sizeof name, kNetConnectionName, unsigned(connection.Value()));
        ConnectionLog("Connection %s refused, too many connections\n", name);
        connection.ShutdownBoth();
        return;
    }
    auto worker =
        std::make_unique<CNetWorker>(this, stopEvent.get(), storeConfig, std::move(connection));
    ConnectionLog("Connection %s from %u.%u.%u.%u\n", worker->ConnectionName(),
                  unsigned(peer.address[0]), unsigned(peer.address[1]), unsigned(peer.address[2]),
                  unsigned(peer.address[3]));
    AddWorker(id, std::move(worker));
}

void CNetListener::Close() {
    listening.Close();
}
