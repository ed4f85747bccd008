#pragma once

// The long-lived threads of the connection framework, started and stopped in one order by every
// front end: the discovery beacon, the TCP listener, the USB listener; stopped in reverse, each
// stop complete (its workers ended, open transfers aborted) before the next begins.

#include <cstdint>

#include "link/NetBeacon.h"
#include "link/NetListener.h"
#include "link/NetPorts.h"
#include "link/UsbListener.h"
#include "transfer/Store.h"

class Receiver {
public:
    // `store` must outlive the receiver.
    explicit Receiver(const StoreConfig& store, std::uint16_t netPort = kInstrumentPort,
                      UsbOptions usbOptions = {})
        : beacon(netPort), tcp(store, netPort), usb(store, std::move(usbOptions)) {}
    void Start();
    void Stop();

private:
    CNetBeacon beacon;
    CNetListener tcp;
    CUsbListener usb;
};
