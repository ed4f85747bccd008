// Many instruments delivering at the same moment, from one process: a process per instrument
// (orbsim) takes longer to start two hundred times than orbtray takes to receive them all.
//
//   many_clients PORT FILE...
//
// Connects one instrument per file (serial: the file name without directory and extension) to
// 127.0.0.1:PORT and sends HELLO on each, so that all are open together. Then prints
// "sending <wall-clock ns>", sends every file's lines round-robin in pieces, ends each transfer
// with BYE and closes its sending side. The receiver is judged by its files, not by this program.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
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

int Connect(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("many_clients: connect");
        std::exit(1);
    }
    return s;
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
    for (std::size_t n = 0; n < instruments.size(); ++n) {
        const std::string path = argv[n + 2];
        std::ifstream in(path, std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        std::string serial = path.substr(path.rfind('/') + 1);
        serial = serial.substr(0, serial.rfind('.'));

        Instrument& instrument = instruments[n];
        instrument.bytes = Encode(contents.str());
        instrument.socket = Connect(port);
        const std::string hello = "HELLO " + serial + "\r\n";
        SendAll(instrument.socket, hello.data(), hello.size());
        // orbtray listens with a backlog of ten and takes one connection per pass; a connection
        // that finds the queue full loses its SYN and waits a second to try again. Small batches
        // keep the connect phase short without hiding anything from the part that is measured.
        if ((n + 1) % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
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
    for (Instrument& instrument : instruments) {
        char byte;
        while (::recv(instrument.socket, &byte, 1, 0) > 0) {
        }
        ::close(instrument.socket);
    }
    return 0;
}
