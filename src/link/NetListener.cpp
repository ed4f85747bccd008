#include "link/NetListener.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "link/ConnectionLog.h"
#include "link/LinkWatch.h"
#include "link/NetWorker.h"

int CNetListener::Listen() {
    if (!listenTried) {
        listenTried = true;
        listening = platform::Socket::ListenTcp(port, &listenError);
        if (listening.IsValid() && !listening.WatchAccept()) {
            listenError = platform::LastSocketError();
            listening.Close();
        }
        // Every failure must read as one, whatever code the OS left behind.
        if (!listening.IsValid() && listenError == 0) {
            listenError = -1;
        }
    }
    return listenError;
}

void CNetListener::Open() {
    if (Listen() != 0) {
        char name[16];
        std::snprintf(name, sizeof name, kTcpPortName, unsigned(port));
        ConnectionLog("Connection %s cannot listen\n", name);
    }
}

bool CNetListener::Poll() {
    // A port held by another program leaves the listener with nothing to do; Open has said so.
    if (!listening.IsValid()) {
        return false;
    }
    if (acceptRefused) {
        // The refused connection is still queued, so the listening socket would wake us again
        // at once. Wait on the stop event alone; a worker reaped meanwhile may free what the OS
        // was short of.
        acceptRefused = false;
        if (platform::WaitFor(stopEvent->AsWaitable(), kAcceptRetryMs) ==
            platform::WaitResult::First) {
            return false;
        }
        ReapFinished();
        return true;
    }
    // With no worker there is nothing to reap, and with no refusal held back nothing to sum
    // up: sleep until a connection or the stop comes.
    const int timeoutMs =
        WorkerCount() == 0 && refusals.empty() ? platform::kWaitForever : kReapPeriodMs;
    switch (platform::WaitForEither(stopEvent->AsWaitable(), listening.Readiness(), timeoutMs)) {
        case platform::WaitResult::First:
            return false;
        case platform::WaitResult::Second:
            listening.ResetReadiness();
            AcceptPending();
            return true;
        case platform::WaitResult::Timeout:
            ReapFinished();
            FlushRefusals(false);
            return true;
        case platform::WaitResult::Failed:
            return true;
    }
    return true;
}

void CNetListener::AcceptPending() {
    ReapFinished();
    // Everything queued is taken in this pass. The pass ends only when the OS says nothing is
    // left: on Windows that last accept is also what arms the readiness event again. Instruments
    // that reconnect without pause can keep the queue from ever running dry, so a stop ends the
    // pass too; the readiness does not matter any more then.
    while (!stopEvent->IsSet()) {
        platform::Ipv4Endpoint peer;
        platform::IoResult outcome{};
        platform::Socket connection = listening.Accept(&peer, &outcome);
        if (!connection.IsValid()) {
            acceptRefused = outcome.status != platform::IoStatus::WouldBlock;
            FlushRefusals(false);
            return;
        }
        Admit(std::move(connection), peer);
    }
}

void CNetListener::Admit(platform::Socket connection, const platform::Ipv4Endpoint& peer) {
    const auto id = static_cast<std::int32_t>(connection.Value());
    const std::uint32_t address = std::uint32_t{peer.address[0]} << 24 |
                                  std::uint32_t{peer.address[1]} << 16 |
                                  std::uint32_t{peer.address[2]} << 8 | peer.address[3];
    char from[16];
    std::snprintf(from, sizeof from, "%u.%u.%u.%u", unsigned(peer.address[0]),
                  unsigned(peer.address[1]), unsigned(peer.address[2]), unsigned(peer.address[3]));
    // A connection counts until its worker is reaped; those that have ended are reaped before
    // anyone is turned away.
    if (WorkerCount() >= kMaxNetWorkers || LiveFrom(address) >= kMaxNetWorkersPerAddress) {
        ReapFinished();
    }
    const bool full = WorkerCount() >= kMaxNetWorkers;
    if (full || LiveFrom(address) >= kMaxNetWorkersPerAddress) {
        char name[16];
        std::snprintf(name, sizeof name, kNetConnectionName, unsigned(connection.Value()));
        std::unique_ptr<Refusals>& sent = refusals[address];
        if (!sent) {
            sent = std::make_unique<Refusals>(from);
        }
        if (full) {
            sent->limiter.Log("Connection %s refused, too many connections\n", name);
        } else {
            sent->limiter.Log("Connection %s refused, too many connections from %s\n", name, from);
        }
        connection.ShutdownBoth();
        return;
    }
    auto worker =
        std::make_unique<CNetWorker>(this, stopEvent.get(), storeConfig, std::move(connection));
    ConnectionLog("Connection %s from %s\n", worker->ConnectionName(), from);
    WatchLinkOpened(worker.get(), worker->ConnectionName(), "tcp", from);
    if (AddWorker(id, std::move(worker))) {
        addressOf[id] = address;
    }
}

std::size_t CNetListener::LiveFrom(std::uint32_t address) const {
    return static_cast<std::size_t>(
        std::count_if(addressOf.begin(), addressOf.end(),
                      [&](const auto& entry) { return entry.second == address; }));
}

void CNetListener::WorkerReaped(std::int32_t id) {
    addressOf.erase(id);
}

void CNetListener::FlushRefusals(bool final) {
    // An address is forgotten once its summary is out, so that the table stays as small as the
    // set of hosts refused within the last second or so.
    for (auto entry = refusals.begin(); entry != refusals.end();) {
        LogLimiter& limiter = entry->second->limiter;
        limiter.Flush(final);
        entry = final || limiter.Quiet() ? refusals.erase(entry) : std::next(entry);
    }
}

void CNetListener::Close() {
    FlushRefusals(true);
    listening.Close();
    listenTried = false;
    listenError = 0;
}
