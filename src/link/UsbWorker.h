#pragma once

// Serves one CP210x serial port. Unlike a TCP link the port survives a failed transfer: the
// instrument may start again at once. Everything here runs on the worker's own thread, except
// construction, which happens on the listener thread, and the port's `explained` mark, which the
// port's successive workers share and change only atomically.

#include <atomic>
#include <memory>
#include <string>

#include "link/TxWorker.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

// What the USB listener knows of a port beyond one worker's life.
struct UsbPortHistory {
    // The last plug-in of the port that has been told why it may not be opened, shared by all
    // of the port's workers; null when nothing is shared and every worker tells.
    std::atomic<unsigned>* explained = nullptr;
    unsigned plugIn = 1;      // this worker's plug-in of the port, counted from 1
    int retryPauseMs = 5000;  // after a failed open, before the worker ends
};

class CUsbWorker : public CTxWorker {
public:
    CUsbWorker(CListener* owner, platform::Event* stop, const StoreConfig& store,
               const platform::PortInfo& port,
               std::unique_ptr<platform::SerialPort> device = platform::MakeSerialPort(),
               const UsbPortHistory& history = {});

    void Open() override;
    bool Run() override;
    void Close() override;
    void SendAck() override;
    void SendNak() override;
    void SendLine(const char* text) override;

private:
    static constexpr int kWaitMs = 5000;  // idle limit of an open transfer
    static constexpr std::size_t kReceiveSize = 1024;

    bool Finish();
    void ReadAll();
    void LogOpenFailure();

    int portNumber;
    std::string portPath;
    std::unique_ptr<platform::SerialPort> port;
    platform::PortOpen opened = platform::PortOpen::Failed;
    UsbPortHistory history;
};
