#include "link/Receiver.h"

std::vector<PortFailure> Receiver::Open() {
    // Each socket is opened once; a second call reports the same.
    std::vector<PortFailure> failures;
    if (const int error = tcp.Listen(); error != 0) {
        failures.push_back({"TCP", port, error});
    }
    if (const int error = beacon.Bind(); error != 0) {
        failures.push_back({"UDP", port, error});
    }
    return failures;
}

bool Receiver::Start() {
    Open();
    if (beacon.Start() && tcp.Start() && usb.Start() && sweep.Start()) {
        return true;
    }
    // Stopping a thread that never started does nothing.
    Stop();
    return false;
}

void Receiver::Stop() {
    sweep.Stop();
    usb.Stop();
    tcp.Stop();
    beacon.Stop();
}
