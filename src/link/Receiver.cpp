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

void Receiver::Start() {
    Open();
    beacon.Start();
    tcp.Start();
    usb.Start();
    sweep.Start();
}

void Receiver::Stop() {
    sweep.Stop();
    usb.Stop();
    tcp.Stop();
    beacon.Stop();
}
