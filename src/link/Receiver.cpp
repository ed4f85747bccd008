#include "link/Receiver.h"

std::vector<PortFailure> Receiver::Open() {
    // Each socket is opened once; a second call reports the same.
    std::vector<PortFailure> failures;
    if (const int error = tcp_.Listen(); error != 0) {
        failures.push_back({"TCP", port_, error});
    }
    if (const int error = beacon_.Bind(); error != 0) {
        failures.push_back({"UDP", port_, error});
    }
    return failures;
}

bool Receiver::Start() {
    Open();
    if (beacon_.Start() && tcp_.Start() && usb_.Start() && sweep_.Start()) {
        return true;
    }
    // Stopping a thread that never started does nothing.
    Stop();
    return false;
}

void Receiver::Stop() {
    sweep_.Stop();
    usb_.Stop();
    tcp_.Stop();
    beacon_.Stop();
}
