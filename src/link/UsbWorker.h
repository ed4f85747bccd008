#pragma once

// Serves one CP210x serial port. Unlike a TCP link the port survives a failed transfer: the
// instrument may start again at once. A port that is not an instrument's is let go, so that the
// device and its owner are left in peace. Everything here runs on the worker's own thread, except
// construction, which happens on the listener thread, and the port's `explained` and `released`
// marks, which the port's successive workers and the listener share and change only atomically,
// and its log limiter, which they share too and which locks itself.

#include <atomic>
#include <memory>
#include <string>

#include "link/TxWorker.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

// What the USB listener knows of a port beyond one worker's life.
struct UsbPortHistory {
    // The plug-in of the port in which the port's failure to open has been told, or 0 once it
    // has been opened since: a port that cannot be opened is retried by worker after worker,
    // but said so once, when it starts failing. Shared by all of the port's workers; null when
    // nothing is shared and every worker tells.
    std::atomic<unsigned>* explained = nullptr;
    // The last plug-in in which the port was let go as no instrument's, for the listener to
    // leave it alone until it is unplugged; null for a port that is never let go (one the user
    // named).
    std::atomic<unsigned>* released = nullptr;
    unsigned plugIn = 1;      // this worker's plug-in of the port, counted from 1
    int retryPauseMs = 5000;  // after a failed open, before the worker ends
    // Limits what the port's device makes its workers log, across all of them, for as long as
    // the port is known; null for a worker that limits its own.
    std::shared_ptr<LogLimiter> log;
};

class CUsbWorker : public CTxWorker {
public:
    CUsbWorker(CListener* owner, platform::Event* stop, const LinkContext& linkContext,
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
    // An instrument says a valid command long before this much has come from it: a device that
    // has not is something else (a board's debug console, a GPS receiver, line noise).
    static constexpr unsigned kStrangerLines = 20;
    static constexpr std::size_t kStrangerBytes = 64 * 1024;

    enum class Step { Go, Finished, Stopped };

    bool Finish();
    Step ReadAll();
    bool IsStranger(const char* data, std::size_t count);
    void LogOpenFailure();
    void Send(const char* data, std::size_t size);

    int portNumber;
    std::string portPath;
    std::unique_ptr<platform::SerialPort> port;
    platform::PortOpen opened = platform::PortOpen::Failed;
    UsbPortHistory history;
    // Since the port was opened: whether the session has accepted a command, and what came
    // before it did.
    bool instrument = false;
    unsigned linesSeen = 0;
    std::size_t bytesSeen = 0;
    // The first write that did not complete ends the link; nothing is written after it.
    platform::PortWrite written = platform::PortWrite::Done;
    int writeError = 0;
};
