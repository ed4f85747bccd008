// Drives what instruments send through the transfer protocol into the store, over a disk held in
// memory, then checks that files were made only where and as the store may make them, and that
// each announced file holds what its link sent.
//
// Input layout: byte 0 picks the links and the disk (bit 0 set: serial, clear: TCP; bit 1 set: two
// links of that kind taking turns chunk by chunk, as two instruments of one serial would; bit 7
// set: the second of the first file opened is crowded with files; bit 2 set: from the chunk bits
// 5-6 number on, the disk misbehaves in the way bits 3-4 choose), byte 1 picks how the bytes are
// cut into chunks, and everything after them is what the instruments send.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/MemoryDisk.h"
#include "link/ReceiverEvents.h"
#include "transfer/Session.h"

namespace {

constexpr std::size_t kMaxChunk = 1024;  // the longest chunk a link hands over in one read
const std::string kDataFolder = "/Data/";
const std::string kFirmwarePath = "/firmware.hex";
// Longer than one 255-byte piece, so a record reaches the instrument in several pieces, and
// without a line end after the last record.
const std::string kImage = ":020000040000FA\r\n:FF000000" + std::string(510, 'A') +
                           "5D\r\n:0400000500000000F7\r\n:00000001FF";

// Eight transfers to a second from 2024-02-29 23:59:59 UTC, so that names collide. The store
// looks at every earlier name of a second before it finds a free one: hundreds of transfers in
// one second would cost hundreds of times more.
struct TestClock final : platform::Clock {
    std::int64_t UtcSeconds() const override { return 1709251199 + reads++ / 8; }
    mutable std::int64_t reads = 0;
};

void Require(bool holds, const char* what, std::string_view detail) {
    if (!holds) {
        std::fprintf(stderr, "\n*** session fuzzer: %s: %.*s\n", what, int(detail.size()),
                     detail.data());
        std::abort();
    }
}

// A log line stays one line however long the serial in it; a notification fits its buffer.
struct CheckingEvents final : ReceiverEvents {
    void Report(const ReceiverEvent& event) override {
        if (event.kind == ReceiverEvent::Kind::Log) {
            const std::string_view line(event.text);
            Require(line.size() <= std::size_t(kMaxLogLine) && line.find('\n') == line.size() - 1 &&
                        line.starts_with("Connection "),
                    "malformed log line", line);
        } else {
            Require(event.text.size() < std::size_t(kNotifyTextSize), "notification text overflows",
                    event.text);
        }
    }
} g_events;

// Everything one input makes, gone when it ends, so that libFuzzer sees no memory outlive it.
struct World {
    TestClock clock;
    MemoryDisk disk;
    StoreConfig config{kDataFolder, kFirmwarePath, &clock, &disk};
    std::set<std::string> foreign;         // files something else put where the store puts its own
    bool opened = false, crowded = false;  // opened: a file may have been, since the last look
};

// One instrument link. Besides its session, it notes every LINE it was sent, reading lines the
// way the protocol does, so that a finished file can be held against what the instrument sent.
class Link final : public SessionHost {
public:
    Link(World& world, const char* name) : session(*this, world.config, name), world_(world) {}

    void Feed(const char* data, std::size_t count, bool serialLink) {
        updateEnded_ = false;
        const bool ok = session.OnReceive(data, count, serialLink);
        for (const char* byte = data; byte < data + count; ++byte) {
            if (*byte == '\n' && (partial_ == "LINE" || partial_.starts_with("LINE "))) {
                sent.push_back(partial_.size() == 4 ? partial_ : partial_.substr(5));
            }
            if (*byte == '\n' || *byte == '\x06' || *byte == '\x15') {
                partial_.clear();
            } else if (*byte >= 0x20 && *byte <= 0x7D) {
                partial_ += *byte;
            }
        }
        if (!ok) {
            // The serial link resynchronises on the next line; a TCP peer is hung up on.
            session.AbortTransfer();
            session.DiscardLine();
            hungUp = !serialLink;
        }
        // What followed the byte that ended the call never reached the session.
        if (!ok || updateEnded_) {
            partial_.clear();
        }
    }

    Session session;
    std::vector<std::string> sent;  // the data of every LINE, in order
    // Each file announced, or kept for want of a name, in order, with the LINEs acknowledged
    // between its HELLO and BYE.
    std::vector<std::pair<std::string, std::size_t>> ended;
    bool hungUp = false;

private:
    // A LINE is acknowledged while receiving; HELLO, BOOT and BYE while idle.
    void SendAck() override {
        // A BYE is acknowledged after its "transfer complete"; the end of an update is not.
        updateEnded_ = false;
        const bool idle = session.State() != TxState::Receiving;
        lineAcks_ = idle ? 0 : lineAcks_ + 1;
        world_.opened = world_.opened || idle;
    }
    void SendNak() override {}
    // The record that starts an update, or a piece of at most 255 bytes of the image. The search
    // lets AddressSanitizer see a piece that is not terminated inside its buffer.
    void SendLine(const char* text) override {
        const std::string_view piece(text);
        Require(piece == ":040000A0000000005C\r\n" ||
                    (piece.size() <= 255 && kImage.find(piece) != std::string::npos),
                "sent a line that is not part of the firmware image", piece);
    }
    void LogV(const char* format, std::va_list arguments) override {
        updateEnded_ =
            updateEnded_ || std::strcmp(format, "Connection %s transfer complete\n") == 0;
        if (std::strcmp(format, "Connection %s kept the data in %s\n") == 0) {
            std::va_list copy;
            va_copy(copy, arguments);
            va_arg(copy, const char*);
            ended.emplace_back(va_arg(copy, const char*), lineAcks_);
            va_end(copy);
        }
        ConnectionLogV(g_events, format, arguments);
    }
    void FileReceived(const ReceivedFile& file) override {
        Require(!world_.disk.failSync, "file announced although the disk may have lost it",
                file.path);
        // The record names the file the store made, where the list will show it.
        Require(
            file.path == kDataFolder + file.folder + "/" + file.name && file.name.ends_with(".csv"),
            "the record of a received file names another", file.path);
        ended.emplace_back(file.path, lineAcks_);
        NotifyUserFile(g_events, file);
    }

    World& world_;
    std::string partial_;  // line bytes since the last line end
    std::size_t lineAcks_ = 0;
    bool updateEnded_ = false;  // the call ended after a finished firmware update
};

// Between two chunks: the disk fails (it fills up after a few lines, loses data on sync, or
// refuses every rename, so that complete files are kept as read-only .tmp files), or something else
// takes the final name of a file being received just before its rename, or fills the second of the
// first file opened with files of every other name but the last two, so that the store runs out of
// names within a few transfers.
void Interfere(World& world, std::uint8_t control, std::size_t chunk) {
    const std::size_t from = (control >> 5) & 3;
    const unsigned fault = (control & 4) != 0 && chunk >= from ? (control >> 3) & 3 : 4;
    world.disk.failSync = fault == 1;
    world.disk.failMoves = fault == 2 ? 1 << 30 : 0;
    world.disk.writeRoom = fault == 0 && chunk == from ? 40 : world.disk.writeRoom;
    const bool take = fault == 3 && world.disk.takeBeforeMove.empty();
    const bool crowd = (control & 0x80) != 0 && !world.crowded;
    if (!world.opened || !(take || crowd)) {
        return;
    }
    world.opened = false;
    for (const std::string& path : world.disk.Created()) {
        if (!path.ends_with(".tmp") || !world.disk.PathExists(path)) {
            continue;
        }
        if (take) {
            world.disk.takeBeforeMove = path.substr(0, path.size() - 4) + ".csv";
            world.foreign.insert(world.disk.takeBeforeMove);
        }
        // The directory and the YYMMDD-HHMMSS every name of the second starts with.
        const std::string second = path.substr(0, path.rfind('/') + 14);
        for (int n = 2; crowd && n <= 97; ++n) {
            const std::string name = second + "-" + std::to_string(n);
            if (!world.disk.PathExists(name + ".tmp") && !world.disk.PathExists(name + ".csv")) {
                world.disk.Put(name + ".csv", "");
                world.foreign.insert(name + ".csv");
            }
        }
        world.crowded = world.crowded || crowd;
        return;
    }
}

// What may follow the Data folder: a serial directory that is one plain entry on every file
// system we run on (no separator or drive syntax Windows would follow, no device name in any case
// or with any extension, nothing Windows trims, so never "." or "..", every escape complete), and
// maybe a data file in it, named after its second. On Linux "..\x" is a harmless name: this catches
// what would escape on Windows.
bool IsStorePath(std::string_view rest) {
    const auto in = [](const char* set, char c) {
        return c != 0 && std::strchr(set, c) != nullptr;
    };
    const std::size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash), file = rest.substr(slash + 1);
    std::string base(name.substr(0, name.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    std::ranges::transform(base, base.begin(), [](unsigned char c) { return std::toupper(c); });
    bool plain =
        slash != rest.npos && !name.empty() && name.front() != ' ' && name.back() != ' ' &&
        name.back() != '.' &&
        !std::set<std::string>{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}.contains(base) &&
        !(base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
          in("0123456789", base[3]));
    for (std::size_t i = 0; i < name.size(); ++i) {
        plain = plain && !in("\\/:*?\"<>|", name[i]) && name[i] >= 0x20 && name[i] <= 0x7E &&
                (name[i] != '%' || (i + 2 < name.size() && in("0123456789ABCDEF", name[i + 1]) &&
                                    in("0123456789ABCDEF", name[i + 2])));
    }
    // A data file: YYMMDD-HHMMSS, or that with -2, -3..., then .tmp, .csv or .kept.
    const bool keptName = file.ends_with(".kept");
    std::string stem(
        file.substr(0, file.size() - std::min<std::size_t>(keptName ? 5 : 4, file.size())));
    std::ranges::replace_if(
        stem, [](char c) { return c >= '0' && c <= '9'; }, '9');
    const bool numbered = stem.size() > 14 && stem.starts_with("999999-999999-") &&
                          stem.find_first_not_of('9', 14) == std::string::npos &&
                          (stem.size() > 15 || file[14] != '1');
    return plain &&
           (file.empty() || ((file.ends_with(".tmp") || file.ends_with(".csv") || keptName) &&
                             (stem == "999999-999999" || (numbered && file[14] != '0'))));
}

void CheckDisk(const World& world, const Link (&links)[2]) {
    for (const std::string& path : world.disk.Created()) {
        Require(path == kDataFolder ||
                    (path.starts_with(kDataFolder) && IsStorePath(path.substr(kDataFolder.size()))),
                "path made outside the Data folder or not as the store names them", path);
    }
    std::map<std::string, std::string> files = world.disk.Files();
    Require(files[kFirmwarePath] == kImage, "firmware image changed", kFirmwarePath);
    files.erase(kFirmwarePath);
    // An announced file holds as many lines as its link had acknowledged, each ended by CR LF,
    // and they are LINEs that link sent, in the order sent.
    // A file kept for want of a name holds the same, under a name the file list and clean-ups
    // leave alone.
    for (const Link& link : links) {
        std::size_t cursor = 0;
        for (const auto& [path, acknowledged] : link.ended) {
            const bool kept = !path.ends_with(".csv");
            const auto file = files.find(path);
            Require(file != files.end() &&
                        (!kept || path.ends_with(".kept") || world.disk.ReadOnly().contains(path)),
                    "file missing, ended twice, or kept where it could be taken for a leftover",
                    path);
            std::size_t lines = 0;
            for (std::size_t at = 0, end; at < file->second.size(); at = end + 2, ++lines) {
                end = file->second.find("\r\n", at);
                Require(end != std::string::npos, "file does not end in CR LF", path);
                const std::string_view line(file->second.data() + at, end - at);
                while (cursor < link.sent.size() && link.sent[cursor] != line) {
                    ++cursor;
                }
                Require(cursor++ < link.sent.size(), "file holds a line its link did not send",
                        path);
            }
            Require(lines == acknowledged, "file does not hold the lines acknowledged", path);
            files.erase(file);
        }
    }
    // A refused file leaves nothing, and no .tmp outlives its link.
    for (const auto& [path, bytes] : files) {
        Require(world.foreign.contains(path), "file left behind without an announcement", path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool serialLink = (data[0] & 1) != 0;
    const std::size_t linkCount = (data[0] & 2) != 0 ? 2 : 1;
    // Chunk lengths: whole reads, one fixed length, or pseudo-random lengths (wide or short), so
    // that line ends, CR LF pairs and protocol bytes fall on every boundary.
    const unsigned chunkMode = data[1] >> 6;
    std::uint32_t random = 0x9E3779B9u ^ data[1];

    World world;
    world.disk.MakeDirectory(kDataFolder);
    world.disk.Put(kFirmwarePath, kImage);
    Link links[2] = {Link(world, "COM1"), Link(world, "COM4294967295")};
    for (std::size_t at = 2, chunk = 0;
         at < size && !(links[0].hungUp && links[linkCount - 1].hungUp); ++chunk) {
        Interfere(world, data[0], chunk);
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        const std::size_t count = std::min<std::size_t>(
            size - at, chunkMode == 0   ? kMaxChunk
                       : chunkMode == 1 ? (data[1] & 0x3F) + 1u
                                        : 1 + random % (chunkMode == 2 ? kMaxChunk : 16));
        Link& link = links[chunk % linkCount];
        if (!link.hungUp) {
            link.Feed(reinterpret_cast<const char*>(data) + at, count, serialLink);
        }
        at += count;
    }
    // Every link closes at the end of the conversation, aborting what it had open.
    for (Link& link : links) {
        link.session.AbortTransfer();
    }
    CheckDisk(world, links);
    return 0;
}
