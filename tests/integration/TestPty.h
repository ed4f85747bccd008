#pragma once

// A pseudo-terminal pair with the kernel's default line discipline, which the code under test
// must make raw, and the test's side of the wire: writes that must arrive whole and reads that
// wait a while.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

struct Pty {
    // By default the test holds the slave open too: without it the master reads as hung up
    // until the receiver opens it, and holding the master as well makes the test the line's far
    // end, which the receiver tells from a program in its way. Without `holdSlave` the test
    // keeps only the master, not blocking: a slave it held would make the port another
    // program's.
    explicit Pty(bool holdSlave = true) {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slavePath = name;
            if (!holdSlave) {
                ::close(std::exchange(slave, -1));
                ::fcntl(master, F_SETFL, O_NONBLOCK);
            }
        }
    }
    // Like pulling the adapter: once the master is gone, whoever has the slave open is hung up.
    ~Pty() {
        ::close(slave);
        ::close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master = -1;
    int slave = -1;
    std::string slavePath;
};

inline void Put(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        ASSERT_GT(n, 0) << "write to the pty failed";
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// What arrives until `count` bytes are in or `limit` has passed; with a limit of 0, only what is
// there already. It never reads past `count`, so a byte too many stays for the next look.
inline std::string Take(int fd, std::size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limit;
    std::string got;
    while (got.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        char buffer[512];
        const ssize_t n =
            ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0))) > 0
                ? ::read(fd, buffer, std::min(sizeof buffer, count - got.size()))
                : 0;
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}
