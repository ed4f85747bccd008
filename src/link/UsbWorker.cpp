#include "link/UsbWorker.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "link/Listener.h"
#include "transfer/Protocol.h"

CUsbWorker::CUsbWorker(CListener* owner, platform::Event* stop, const LinkContext& linkContext,
                       const platform::PortInfo& info, std::unique_ptr<platform::SerialPort> device,
                       const UsbPortHistory& portHistory)
    : CTxWorker(owner, stop, linkContext, portHistory.log),
      portNumber(info.number),
      portPath(info.path),
      port(std::move(device)),
      history(portHistory) {
    SetConnectionName("%s", info.name.c_str());
}

void CUsbWorker::Open() {
    // A port that does not open is reported by Run, which also paces the retries.
    opened = port->Open(portPath);
    if (opened == platform::PortOpen::Opened) {
        // Served: should it fail again later, that is news again.
        if (history.explained != nullptr) {
            history.explained->store(0);
        }
        PeerLog("Connection %s listening\n", ConnectionName());
        ReportLinkOpened(context.events, this, ConnectionName(), "usb", "");
        NotifyUser(context.events, "Device Connected", "%s", ConnectionName());
    }
}

bool CUsbWorker::Finish() {
    listener->WorkerFinished(portNumber);
    return false;
}

void CUsbWorker::LogOpenFailure() {
    // Retrying cannot help a user who may not open the device, another program may hold it for
    // hours, and a named port may stay missing for as long: whatever the reason, it is told once
    // when the port starts failing, and again only once it has been served or unplugged
    // meanwhile. The workers that retry in between say nothing at all.
    if (history.explained != nullptr) {
        // A worker of an earlier plug-in may still be finishing; it never speaks for a later one.
        unsigned last = history.explained->load();
        bool tell = false;
        while ((tell = last < history.plugIn) &&
               !history.explained->compare_exchange_weak(last, history.plugIn)) {
        }
        if (!tell) {
            return;
        }
    }
    if (opened == platform::PortOpen::Failed) {
        PeerLog("Connection %s could not open port\n", ConnectionName());
        return;
    }
    if (opened == platform::PortOpen::InUse) {
        const std::string holder = port->Holder();
        PeerLog("Connection %s port in use by %s\n", ConnectionName(),
                holder.empty() ? "another program" : holder.c_str());
        return;
    }
    const std::string group = port->DeniedGroup();
    if (group.empty()) {
        PeerLog("Connection %s cannot open port: permission denied\n", ConnectionName());
    } else {
        PeerLog(
            "Connection %s cannot open port: permission denied; add your user to the "
            "group %s\n",
            ConnectionName(), group.c_str());
    }
}

bool CUsbWorker::Run() {
    if (!port->IsOpen()) {
        LogOpenFailure();
        // The listener makes a new worker for a port still present once this one is reaped, so
        // the pause sets how often a busy port is tried again.
        if (platform::WaitFor(stopEvent->AsWaitable(), history.retryPauseMs) ==
            platform::WaitResult::Timeout) {
            return Finish();
        }
        return false;
    }
    int error = 0;
    // Lines held back are summed up within a second or so, even if the line falls quiet.
    const bool summaryWait = PeerLogPending();
    int waitMs = summaryWait ? std::min(PeerLogDueMs() + 1, kWaitMs) : kWaitMs;
    // So are readings not yet told of.
    const int progressMs = ProgressDueMs();
    const bool progressWait = progressMs >= 0 && progressMs < waitMs;
    if (progressWait) {
        waitMs = progressMs;
    }
    switch (port->WaitForData(*stopEvent, waitMs, &error)) {
        case platform::PortWait::Data:
            switch (ReadAll()) {
                case Step::Go:
                    break;
                case Step::Finished:
                    return Finish();
                case Step::Stopped:
                    PeerLog("Connection %s closed on shutdown\n", ConnectionName());
                    return false;
            }
            FlushPeerLog();
            return true;
        case platform::PortWait::StartFailed:
            PeerLog("Connection %s hardware removed\n", ConnectionName());
            return Finish();
        case platform::PortWait::Failed:
            PeerLog("Connection %s error %d\n", ConnectionName(), error);
            return Finish();
        case platform::PortWait::Stop:
            // The listener joins every worker when it stops: no report.
            PeerLog("Connection %s closed on shutdown\n", ConnectionName());
            return false;
        case platform::PortWait::Timeout:
            if (summaryWait || progressWait) {
                // Only the summary or the progress was due; an open transfer's idle time starts
                // again.
                FlushPeerLog();
                ReportProgressDue();
                return true;
            }
            // An instrument silent in the middle of a file has given up on it; an idle port is
            // simply waited on again.
            if (State() != TxState::Idle) {
                PeerLog("Connection %s timeout\n", ConnectionName());
                AbortTransfer();
                DiscardLine();
            }
            return true;
    }
    return true;
}

CUsbWorker::Step CUsbWorker::ReadAll() {
    char buffer[kReceiveSize];
    for (;;) {
        const std::size_t count = port->Read(buffer, sizeof buffer);
        if (count == 0) {
            return Step::Go;
        }
        // A protocol error costs the transfer, not the port: reading goes on.
        if (!OnReceive(buffer, count, true)) {
            AbortTransfer();
            DiscardLine();
        }
        if (written == platform::PortWrite::Stop) {
            return Step::Stopped;
        }
        if (written == platform::PortWrite::Failed) {
            PeerLog("Connection %s error %d\n", ConnectionName(), writeError);
            return Step::Finished;
        }
        if (IsStranger(buffer, count)) {
            // Once per plug-in at most, since the port is then left alone until it is unplugged:
            // never held back, so that the user always learns why the device is not served.
            Log("Connection %s released, no instrument on this port\n", ConnectionName());
            history.released->store(history.plugIn);
            return Step::Finished;
        }
    }
}

bool CUsbWorker::IsStranger(const char* data, std::size_t count) {
    if (instrument || history.released == nullptr) {
        return false;
    }
    linesSeen += static_cast<unsigned>(std::count(data, data + count, '\n'));
    bytesSeen += count;
    return linesSeen >= kStrangerLines || bytesSeen >= kStrangerBytes;
}

void CUsbWorker::Close() {
    // A port that never opened has said what it had to say; the next worker tries again.
    if (opened != platform::PortOpen::Opened) {
        return;
    }
    if (port->IsOpen()) {
        ReportLinkClosed(context.events, this);
        NotifyUser(context.events, "Device Disconnected", "%s", ConnectionName());
        port->Close();
    }
    PeerLog("Connection %s terminated\n", ConnectionName());
    AbortTransfer();
}

void CUsbWorker::Send(const char* data, std::size_t size) {
    if (written == platform::PortWrite::Done) {
        written = port->Write(data, size, *stopEvent, &writeError);
    }
}

void CUsbWorker::SendAck() {
    // The session acknowledges only a valid command: the other side speaks the protocol.
    instrument = true;
    Send(&kAck, 1);
}

void CUsbWorker::SendNak() {
    Send(&kNak, 1);
}

void CUsbWorker::SendLine(const char* text) {
    Send(text, std::strlen(text));
}
