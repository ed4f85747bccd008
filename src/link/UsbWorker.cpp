#include "link/UsbWorker.h"

#include <cstring>
#include <string>

#include "link/ConnectionLog.h"
#include "link/LinkWatch.h"
#include "link/Listener.h"
#include "link/NotifyUser.h"

namespace {
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
}  // namespace

CUsbWorker::CUsbWorker(CListener* owner, platform::Event* stop, const StoreConfig& store,
                       const platform::PortInfo& info, std::unique_ptr<platform::SerialPort> device,
                       const UsbPortHistory& portHistory)
    : CTxWorker(owner, stop, store),
      portNumber(info.number),
      portPath(info.path),
      port(std::move(device)),
      history(portHistory) {
    SetConnectionName("%s", info.name.c_str());
    ConnectionLog("Connection %s listening\n", ConnectionName());
}

void CUsbWorker::Open() {
    // A port that does not open is reported by Run, which also paces the retries.
    opened = port->Open(portPath);
    if (opened == platform::PortOpen::Opened) {
        WatchLinkOpened(this, ConnectionName(), "usb", "");
        NotifyUser("Device Connected", "%s", ConnectionName());
    }
}

bool CUsbWorker::Finish() {
    listener->WorkerFinished(portNumber);
    return false;
}

void CUsbWorker::LogOpenFailure() {
    // Retrying cannot help a user who may not open the device, so the remedy is told once, and
    // again only when the port has been unplugged meanwhile.
    bool explain = opened == platform::PortOpen::Denied;
    if (explain && history.explained != nullptr) {
        // A worker of an earlier plug-in may still be finishing; it never speaks for a later one.
        unsigned last = history.explained->load();
        while ((explain = last < history.plugIn) &&
               !history.explained->compare_exchange_weak(last, history.plugIn)) {
        }
    }
    if (!explain) {
        ConnectionLog("Connection %s could not open port\n", ConnectionName());
        return;
    }
    const std::string group = port->DeniedGroup();
    if (group.empty()) {
        ConnectionLog("Connection %s cannot open port: permission denied\n", ConnectionName());
    } else {
        ConnectionLog(
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
    switch (port->WaitForData(*stopEvent, kWaitMs, &error)) {
        case platform::PortWait::Data:
            ReadAll();
            return true;
        case platform::PortWait::StartFailed:
            ConnectionLog("Connection %s hardware removed\n", ConnectionName());
            return Finish();
        case platform::PortWait::Failed:
            ConnectionLog("Connection %s error %d\n", ConnectionName(), error);
            return Finish();
        case platform::PortWait::Stop:
            // The listener joins every worker when it stops: no report.
            ConnectionLog("Connection %s closed on shutdown\n", ConnectionName());
            return false;
        case platform::PortWait::Timeout:
            // An instrument silent in the middle of a file has given up on it; an idle port is
            // simply waited on again.
            if (State() != TxState::Idle) {
                ConnectionLog("Connection %s timeout\n", ConnectionName());
                AbortTransfer();
                DiscardLine();
            }
            return true;
    }
    return true;
}

void CUsbWorker::ReadAll() {
    char buffer[kReceiveSize];
    for (;;) {
        const std::size_t count = port->Read(buffer, sizeof buffer);
        if (count == 0) {
            return;
        }
        // A protocol error costs the transfer, not the port: reading goes on.
        if (!OnReceive(buffer, count, true)) {
            AbortTransfer();
            DiscardLine();
        }
    }
}

void CUsbWorker::Close() {
    if (port->IsOpen()) {
        WatchLinkClosed(this);
        NotifyUser("Device Disconnected", "%s", ConnectionName());
        port->Close();
    }
    ConnectionLog("Connection %s terminated\n", ConnectionName());
    AbortTransfer();
}

void CUsbWorker::SendAck() {
    port->Write(&kAck, 1);
}

void CUsbWorker::SendNak() {
    port->Write(&kNak, 1);
}

void CUsbWorker::SendLine(const char* text) {
    port->Write(text, std::strlen(text));
}
