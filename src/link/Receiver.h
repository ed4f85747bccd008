#pragma once

// The long-lived threads of the connection framework, started and stopped in one order by every
// front end: the discovery beacon, the TCP listener, the USB listener, the hourly clean-up of
// the Data folder; stopped in reverse, each stop complete (its workers ended, open transfers
// aborted) before the next begins.

#include <cstdint>
#include <vector>

#include "link/LeftoverSweep.h"
#include "link/NetBeacon.h"
#include "link/NetListener.h"
#include "link/NetPorts.h"
#include "link/UsbListener.h"
#include "datafolder/Store.h"

// A network port the receiver could not open.
struct PortFailure {
    const char* protocol;  // "TCP" or "UDP"
    std::uint16_t port;
    int error;  // the OS's code, for platform::SocketErrorText
};

class Receiver {
public:
    // `store` must outlive the receiver.
    explicit Receiver(const StoreConfig& store, std::uint16_t netPort = kInstrumentPort,
                      UsbOptions usbOptions = {})
        : port(netPort),
          beacon(netPort),
          tcp(store, netPort),
          usb(store, std::move(usbOptions)),
          sweep(store.dataFolder) {}

    // Opens the TCP listening socket and the beacon's UDP socket, before any thread starts, so
    // that a front end can tell whether the instruments' port is free before it does anything
    // else. The ports that could not be opened, TCP first; empty when both are open.
    std::vector<PortFailure> Open();
    // Opens what Open has not, then starts the threads. A port that could not be opened is
    // logged by its thread, which ends at once; the other links run.
    void Start();
    void Stop();

private:
    std::uint16_t port;
    CNetBeacon beacon;
    CNetListener tcp;
    CUsbListener usb;
    CLeftoverSweep sweep;
};
