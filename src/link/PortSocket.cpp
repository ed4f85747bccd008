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

namespace {

struct PortName {
    char text[16];
};

PortName NameOf(PortSocket::Kind kind, std::uint16_t port) {
    PortName name;
    std::snprintf(name.text, sizeof name.text,
                  kind == PortSocket::Kind::Tcp ? kTcpPortName : kUdpPortName, unsigned(port));
    return name;
}

}  // namespace

void PortSocket::LogCannotListen(ReceiverEvents& events) const {
    ConnectionLog(events, "Connection %s cannot listen\n", NameOf(kind_, port_).text);
}

void PortSocket::LogError(ReceiverEvents& events, int error) const {
    ConnectionLog(events, "Connection %s error %d\n", NameOf(kind_, port_).text, error);
}

void PortSocket::Close() {
    socket.Close();
    tried_ = false;
    error_ = 0;
}
