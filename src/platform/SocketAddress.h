#pragma once

// Between our endpoint and the OS's IPv4 address, which Winsock and BSD sockets lay out alike.
// Only the two socket implementations include this.

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

#include "platform/Socket.h"

namespace platform {

inline sockaddr_in ToAddress(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr, endpoint.address, sizeof endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

inline Ipv4Endpoint FromAddress(const sockaddr_in& address) {
    Ipv4Endpoint endpoint;
    std::memcpy(endpoint.address, &address.sin_addr, sizeof endpoint.address);
    endpoint.port = ntohs(address.sin_port);
    return endpoint;
}

}  // namespace platform
