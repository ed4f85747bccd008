#pragma once

// Serves one CP210x serial port. Unlike a TCP link the port survives a failed transfer: the
// instrument may start again at once. Everything here runs on the worker's own thread, except
// construction, which happens on the listener thread.

#include <memory>
#include <string>

#include "link/TxWorker.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

class CUsbWorker : public CTxWorker {
public:
    CUsbWorker(CListener* owner, platform::Event* stop, const StoreConfig& store,
               const platform::PortInfo& port,
               std::unique_ptr<platform::SerialPort> device = platform::MakeSerialPort());

    void Open() override;
    bool Run() override;
    void Close() override;
    void SendAck() override;
    void SendNak() override;
    void SendLine(const char* text) override;

private:
    static constexpr int kWaitMs = 5000;        // idle limit of an open transfer
    static constexpr int kRetryPauseMs = 5000;  // after a failed open, before the worker ends
    static constexpr std::size_t kReceiveSize = 1024;

    bool Finish();
    void ReadAll();

    int portNumber;
    std::string portPath;
    std::unique_ptr<platform::SerialPort> port;
};
