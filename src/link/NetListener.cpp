#include "link/NetListener.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "link/NetWorker.h"

int CNetListener::Listen() {
    return listening.Open();
}

void CNetListener::Open() {
    if (Listen() != 0) {
        listening.LogCannotListen(context.events);
    }
}

bool CNetListener::Poll() {
    // A port held by another program leaves the listener with nothing to do; Open has said so.
    if (!listening.socket.IsValid()) {
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
    // With no worker there is nothing to reap, and with no address remembered and nothing added
    // up under the ceiling nothing to sum up: sleep until a connection or the stop comes.
    const bool idle = WorkerCount() == 0 && peerLogs.empty() && !context.ceiling.Pending();
    const int timeoutMs = idle ? platform::kWaitForever : kReapPeriodMs;
    switch (
        platform::WaitForEither(stopEvent->AsWaitable(), listening.socket.Readiness(), timeoutMs)) {
        case platform::WaitResult::First:
            return false;
        case platform::WaitResult::Second:
            listening.socket.ResetReadiness();
            AcceptPending();
            return true;
        case platform::WaitResult::Timeout:
            ReapFinished();
            FlushPeerLogs(false);
            return true;
        case platform::WaitResult::Failed:
            // Waiting again would fail again at once, at full speed: the TCP link ends instead
            // (its workers are let finish), and the log says why.
            listening.LogError(context.events, platform::LastSocketError());
            return false;
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
        platform::Socket connection = listening.socket.Accept(&peer, &outcome);
        if (!connection.IsValid()) {
            acceptRefused = outcome.status != platform::IoStatus::WouldBlock;
            FlushPeerLogs(false);
            return;
        }
        Admit(std::move(connection), peer);
        // A flood keeps this pass going: the summaries of the addresses gone quiet meanwhile
        // are still due once a second.
        if (LogLimiter::Clock::now() - lastFlush >= LogLimiter::kWindow) {
            FlushPeerLogs(false);
        }
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
        const std::shared_ptr<LogLimiter> log = LogOf(address, from);
        if (full) {
            log->Log("Connection %s refused, too many connections\n", name);
        } else {
            log->Log("Connection %s refused, too many connections from %s\n", name, from);
        }
        connection.ShutdownBoth();
        return;
    }
    const std::shared_ptr<LogLimiter> log = LogOf(address, from);
    auto worker =
        std::make_unique<CNetWorker>(this, stopEvent.get(), context, std::move(connection), log);
    log->Log("Connection %s from %s\n", worker->ConnectionName(), from);
    ReportLinkOpened(context.events, worker.get(), worker->ConnectionName(), "tcp", from);
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

std::shared_ptr<LogLimiter> CNetListener::LogOf(std::uint32_t address, const char* from) {
    std::shared_ptr<LogLimiter>& log = peerLogs[address];
    if (!log) {
        log = std::make_shared<LogLimiter>(from, context.ceiling);
    }
    return log;
}

void CNetListener::FlushPeerLogs(bool final) {
    lastFlush = LogLimiter::Clock::now();
    // An address is forgotten once its summary is out and no worker of it is left (a worker
    // holds its address's limiter until its thread has been joined), so that the table stays as
    // small as the set of hosts connected or heard from within the last second or so. At the
    // end every worker has been joined.
    for (auto entry = peerLogs.begin(); entry != peerLogs.end();) {
        LogLimiter& limiter = *entry->second;
        limiter.Flush(final);
        const bool unused = entry->second.use_count() == 1;
        entry = final || (unused && limiter.Quiet()) ? peerLogs.erase(entry) : std::next(entry);
    }
    context.ceiling.Flush(final);
}

void CNetListener::Close() {
    FlushPeerLogs(true);
    listening.Close();
}
