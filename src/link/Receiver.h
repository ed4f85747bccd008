#pragma once

// The long-lived threads of the connection framework, started and stopped in one order by every
// front end: the discovery beacon, the TCP listener, the USB listener, the hourly clean-up of
// the Data folder; stopped in reverse, each stop complete (its workers ended, open transfers
// aborted) before the next begins.

#include <cstdint>
#include <vector>

#include "datafolder/Store.h"
#include "link/LeftoverSweep.h"
#include "link/LinkContext.h"
#include "link/LogCeiling.h"
#include "link/NetBeacon.h"
#include "link/NetListener.h"
#include "link/NetPorts.h"
#include "link/ReceiverEvents.h"
#include "link/UsbListener.h"

// A network port the receiver could not open.
struct PortFailure {
    const char* protocol;  // "TCP" or "UDP"
    std::uint16_t port;
    int error;  // the OS's code, for platform::SocketErrorText
};

class Receiver {
public:
    // `store` and `events` must outlive the receiver; everything it has to tell goes to
    // `events`, from its own threads.
    Receiver(const StoreConfig& store, ReceiverEvents& events,
             std::uint16_t netPort = kInstrumentPort, UsbOptions usbOptions = {})
        : ceiling_(events),
          context_{store, events, ceiling_},
          port_(netPort),
          beacon_(events, netPort),
          tcp_(context_, netPort),
          usb_(context_, std::move(usbOptions)),
          sweep_(store.dataFolder, events) {}

    // Opens the TCP listening socket and the beacon's UDP socket, before any thread starts, so
    // that a front end can tell whether the instruments' port is free before it does anything
    // else. The ports that could not be opened, TCP first; empty when both are open.
    std::vector<PortFailure> Open();
    // Opens what Open has not, then starts the threads. A port that could not be opened is
    // logged by its thread, which ends at once; the other links run. False when a thread could
    // not be started: then none runs, and the front end has to say so.
    [[nodiscard]] bool Start();
    void Stop();

private:
    // The share of the log that others can make the receiver write, for all links together.
    LogCeiling ceiling_;
    const LinkContext context_;
    std::uint16_t port_;
    CNetBeacon beacon_;
    CNetListener tcp_;
    CUsbListener usb_;
    CLeftoverSweep sweep_;
};
