// Many instruments delivering at the same moment, from one process: a process per instrument
// (orbsim) takes longer to start two hundred times than orbtray takes to receive them all.
//
//   many_clients PORT FILE...
//
// Connects one instrument per file (serial: the file name without directory and extension) to
// 127.0.0.1:PORT, issuing every connect before waiting for any, as a crowd of instruments
// switched on together would, and prints "slowest connect <ms> ms". Then sends HELLO on each, so
// that all are open together, prints "sending <wall-clock ns>", sends every file's lines
// round-robin in pieces, ends each transfer with BYE and closes its sending side. The receiver is
// judged by its files, not by this program.
//
// The connections leave from 127.0.0.2, 127.0.0.3, ..., sixteen from each: the receiver lets one
// host hold no more than that, and the instruments stand for many hosts.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Instrument {
    int socket = -1;
    std::string bytes;  // LINE ... BYE, not yet sent
    std::size_t sent = 0;
};

bool SendAll(int socket, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

constexpr int kPerSource = 16;
constexpr int kConnectLimitMs = 30000;

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::exit(1);
}

sockaddr_in Loopback(std::uint32_t host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(host);
    return address;
}

// Opens every instrument's connection at once; returns the longest any one took, from its
// connect call to its completion, in milliseconds.
double ConnectAll(std::vector<Instrument>& instruments, std::uint16_t port) {
    using Clock = std::chrono::steady_clock;
    const sockaddr_in receiver = Loopback(INADDR_LOOPBACK, port);
    std::vector<Clock::time_point> issued(instruments.size());
    std::vector<pollfd> pending;
    std::vector<std::size_t> pendingIndex;
    double slowest = 0;
    auto completed = [&](std::size_t n, Clock::time_point at) {
        slowest =
            std::max(slowest, std::chrono::duration<double, std::milli>(at - issued[n]).count());
    };
    for (std::size_t n = 0; n < instruments.size(); ++n) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const sockaddr_in from = Loopback(INADDR_LOOPBACK + 1 + n / kPerSource, 0);
        if (s < 0 || ::bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            Fail("many_clients: socket");
        }
        instruments[n].socket = s;
        issued[n] = Clock::now();
        if (::connect(s, reinterpret_cast<const sockaddr*>(&receiver), sizeof receiver) == 0) {
            completed(n, Clock::now());
        } else if (errno == EINPROGRESS) {
            pending.push_back({s, POLLOUT, 0});
            pendingIndex.push_back(n);
        } else {
            Fail("many_clients: connect");
        }
    }
    while (!pending.empty()) {
        const int ready = ::poll(pending.data(), pending.size(), kConnectLimitMs);
        const Clock::time_point now = Clock::now();
        if (ready <= 0) {
            Fail("many_clients: waiting for connects");
        }
        for (std::size_t i = pending.size(); i-- > 0;) {
            if (pending[i].revents == 0) {
                continue;
            }
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(pending[i].fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                errno = error;
                Fail("many_clients: connect");
            }
            completed(pendingIndex[i], now);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            pendingIndex.erase(pendingIndex.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    // The rest of the program writes with blocking sends.
    for (Instrument& instrument : instruments) {
        ::fcntl(instrument.socket, F_SETFL, ::fcntl(instrument.socket, F_GETFL) & ~O_NONBLOCK);
    }
    return slowest;
}

std::string Encode(const std::string& contents) {
    std::string bytes;
    std::istringstream lines(contents);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        bytes += "LINE " + line + "\r\n";
    }
    return bytes + "BYE\r\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: many_clients PORT FILE...\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    std::vector<Instrument> instruments(argc - 2);
    std::vector<std::string> hellos;
    for (std::size_t n = 0; n < instruments.size(); ++n) {
        const std::string path = argv[n + 2];
        std::ifstream in(path, std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        std::string serial = path.substr(path.rfind('/') + 1);
        serial = serial.substr(0, serial.rfind('.'));
        instruments[n].bytes = Encode(contents.str());
        hellos.push_back("HELLO " + serial + "\r\n");
    }

    const double slowest = ConnectAll(instruments, port);
    std::printf("slowest connect %.3f ms\n", slowest);
    for (std::size_t n = 0; n < instruments.size(); ++n) {
        SendAll(instruments[n].socket, hellos[n].data(), hellos[n].size());
    }

    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::printf(
        "sending %lld\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
    std::fflush(stdout);

    // Pieces of a few lines, as an instrument's radio would send them, taking turns so that all
    // transfers are under way together.
    constexpr std::size_t kPiece = 4096;
    for (bool more = true; more;) {
        more = false;
        for (Instrument& instrument : instruments) {
            const std::size_t left = instrument.bytes.size() - instrument.sent;
            if (left == 0) {
                continue;
            }
            const std::size_t size = left < kPiece ? left : kPiece;
            if (!SendAll(instrument.socket, instrument.bytes.data() + instrument.sent, size)) {
                std::perror("many_clients: send");
                return 1;
            }
            instrument.sent += size;
            more = more || instrument.sent < instrument.bytes.size();
            if (instrument.sent == instrument.bytes.size()) {
                ::shutdown(instrument.socket, SHUT_WR);
            }
        }
    }
    // The receiver closes once it has seen our end of stream; waiting for that keeps the
    // connections alive until every byte has been read.
    // A reset instead of an orderly close means the receiver lost the connection.
    int status = 0;
    for (Instrument& instrument : instruments) {
        char byte;
        ssize_t n;
        while ((n = ::recv(instrument.socket, &byte, 1, 0)) > 0) {
        }
        if (n < 0) {
            std::perror("many_clients: waiting for the receiver to close");
            status = 1;
        }
        ::close(instrument.socket);
    }
    return status;
}
