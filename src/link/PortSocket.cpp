#include "link/PortSocket.h"

#include <cstdio>

#include "link/NetPorts.h"

int PortSocket::Open() {
    if (tried_) {
        return error_;
    }
    tried_ = true;
    const bool tcp = kind_ == Kind::Tcp;
    socket = tcp ? platform::Socket::ListenTcp(port_, &error_)
                 : platform::Socket::BindUdp(port_, &error_);
    if (socket.IsValid() && !(tcp ? socket.WatchAccept() : socket.WatchRead())) {
        error_ = platform::LastSocketError();
        socket.Close();
    }
    if (!socket.IsValid() && error_ == 0) {
        error_ = -1;
    }
    return error_;
}

void PortSocket::LogCannotListen(ReceiverEvents& events) const {
    char name[16];
    std::snprintf(name, sizeof name, kind_ == Kind::Tcp ? kTcpPortName : kUdpPortName,
                  unsigned(port_));
    ConnectionLog(events, "Connection %s cannot listen\n", name);
}

void PortSocket::Close() {
    socket.Close();
    tried_ = false;
    error_ = 0;
}
