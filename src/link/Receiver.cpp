#include "link/Receiver.h"

void Receiver::Start() {
    beacon.Start();
    tcp.Start();
    usb.Start();
}

void Receiver::Stop() {
    usb.Stop();
    tcp.Stop();
    beacon.Stop();
}
