#pragma once

// A pseudo-terminal pair with the kernel's default line discipline, which orbtray itself must
// make raw. The test holds the slave open too: without it the master reads as hung up until
// orbtray opens it. Holding the master as well makes the test the line's far end, which
// orbtray tells from a program in its way.

#include <pty.h>
#include <unistd.h>

#include <string>

struct Pty {
    Pty() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slavePath = name;
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
