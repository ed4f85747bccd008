// Drives what instruments send through the transfer protocol and the received-file store, then
// checks that nothing was left on the disk except where and as the store may put files.
//
// Input layout: byte 0 picks the links (bit 0 set: serial, clear: TCP; bit 1 set: two links of
// that kind taking turns chunk by chunk, as two instruments of one serial would), byte 1 picks
// how the bytes are cut into chunks, and everything after them is what the instruments send.

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "link/ConnectionLog.h"
#include "link/NotifyUser.h"
#include "link/TxWorker.h"
#include "platform/Clock.h"
#include "transfer/Store.h"

namespace fs = std::filesystem;

namespace {

// The longest chunk a link hands over in one read.
constexpr std::size_t kMaxChunk = 1024;

// Length of the Data folder path, separator included. Held fixed (where the temp dir is short
// enough) so that an input that lands exactly on the longest allowed path keeps landing there in
// every process and on every machine: the corpus probes the limit, not the temp dir's name.
constexpr std::size_t kDataFolderLength = 128;

// 2024-02-29 23:59:59 UTC. Every transfer starts in the same second, so names collide and the
// -2 ... -99 suffixes get used.
constexpr std::int64_t kFixedInstant = 1709251199;

class FixedClock final : public platform::Clock {
public:
    std::int64_t UtcSeconds() const override { return kFixedInstant; }
};
FixedClock g_clock;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "\n*** session fuzzer: %s: %s\n", what, detail.c_str());
    std::abort();
}

// The log must stay one line per call, however long the serial that went into it.
class CheckingLog final : public LogSink {
public:
    void Write(const char* text) override {
        const std::string_view line(text);
        if (line.size() > static_cast<std::size_t>(kMaxLogLine) || line.empty() ||
            line.back() != '\n' || line.find('\n') != line.size() - 1 ||
            !line.starts_with("Connection ")) {
            Fail("malformed log line", std::string(line));
        }
    }
};

// A received file is announced with its final name, which must lie in the Data folder.
class CheckingNotifier final : public NotifySink {
public:
    void Deliver(const UiNotice& notice) override {
        const std::string_view text(notice.text);
        const std::string_view path(notice.path);
        if (text.size() >= static_cast<std::size_t>(kNotifyTextSize)) {
            Fail("notification text overflows", std::string(text));
        }
        if (!path.starts_with(g_dataFolder) || !path.ends_with(".csv")) {
            Fail("notification names a file outside the Data folder", std::string(path));
        }
    }
};

class FuzzWorker final : public CTxWorker {
public:
    explicit FuzzWorker(unsigned port) : CTxWorker(nullptr, nullptr) {
        SetConnectionName("COM%u", port);
        SetClock(g_clock);
    }
    void Open() override {}
    bool Run() override { return false; }
    void Close() override { AbortTransfer(); }
    void SendAck() override { ++sentBytes; }
    void SendNak() override { ++sentBytes; }
    // strlen lets AddressSanitizer see a firmware piece that is not terminated inside its buffer.
    void SendLine(const char* text) override { sentBytes += std::strlen(text); }

    std::size_t sentBytes = 0;
};

// Chunk lengths from the control byte: whole reads, one fixed length, or pseudo-random lengths
// (wide or short), so that line ends, CR LF pairs and protocol bytes fall on every boundary.
class Chunker {
public:
    explicit Chunker(std::uint8_t control)
        : mode_(control >> 6), fixed_((control & 0x3F) + 1u), state_(0x9E3779B9u ^ control) {}

    std::size_t Next() {
        switch (mode_) {
            case 0:
                return kMaxChunk;
            case 1:
                return fixed_;
            case 2:
                return 1 + Random() % kMaxChunk;
            default:
                return 1 + Random() % 16;
        }
    }

private:
    std::uint32_t Random() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

    unsigned mode_;
    std::size_t fixed_;
    std::uint32_t state_;
};

// The Data folder sits two levels below the watched root, so a serial that climbs out of it by
// a level or two still leaves its files where the walk below finds them.
fs::path g_root;
fs::path g_workDir;
fs::path g_dataDir;
fs::path g_firmware;
std::uintmax_t g_firmwareSize = 0;

CheckingLog g_log;
CheckingNotifier g_notifier;

void WriteFirmwareImage() {
    std::string image = ":020000040000FA\r\n";
    image += ":10000000214601360121470136007EFE09D2190140\r\n";
    image += ":100010002146017E17C20001FF5F16002148011928\r\n";
    // Longer than one 255-byte piece: the record reaches the instrument in several pieces.
    image += ":FF000000";
    for (int i = 0; i < 255; ++i) {
        image += "A5";
    }
    image += "5D\r\n";
    image += ":0400000500000000F7\r\n";
    // No line end after the last record: the image ends with the file.
    image += ":00000001FF";
    std::ofstream out(g_firmware, std::ios::binary);
    out << image;
    out.close();
    if (!out) {
        Fail("cannot write the firmware image", g_firmware.string());
    }
    g_firmwareSize = image.size();
}

void RemoveScratch() {
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
}

bool IsDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// YYMMDD-HHMMSS.csv or YYMMDD-HHMMSS-N.csv with N from 2 to 99. A .tmp must not outlive the
// conversation: every way a transfer ends either renames it or deletes it.
bool IsFinishedDataName(std::string_view name) {
    if (!name.ends_with(".csv")) {
        return false;
    }
    name.remove_suffix(4);
    if (name.size() < 13 || !IsDigits(name.substr(0, 6)) || name[6] != '-' ||
        !IsDigits(name.substr(7, 6))) {
        return false;
    }
    if (name.size() == 13) {
        return true;
    }
    const std::string_view number = name.substr(14);
    return name[13] == '-' && IsDigits(number) && number.size() <= 2 && number[0] != '0' &&
           number != "1";
}

// Windows opens a device for these names whatever the case or extension, and ignores blanks
// before the extension.
bool IsWindowsDeviceName(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base == device) {
            return true;
        }
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// A serial directory must be one plain entry on every file system we run on: no separator or
// drive syntax Windows would follow, no device, nothing Windows trims, and every escape complete.
// On Linux a "..\x" would be a harmless name, so this catches what would escape on Windows.
bool IsPortableDirectoryName(std::string_view name) {
    if (name.empty() || name.front() == ' ' || name.back() == ' ' || name.back() == '.' ||
        IsWindowsDeviceName(name)) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (std::strchr("\\/:*?\"<>|", c) != nullptr || static_cast<unsigned char>(c) < 0x20 ||
            static_cast<unsigned char>(c) > 0x7E) {
            return false;
        }
        if (c == '%' &&
            (i + 2 >= name.size() || !IsHexDigit(name[i + 1]) || !IsHexDigit(name[i + 2]))) {
            return false;
        }
    }
    return true;
}

void CheckScratchTree() {
    const fs::path relativeWork = g_workDir.lexically_relative(g_root);
    const std::vector<std::string> work(relativeWork.begin(), relativeWork.end());
    std::error_code error;
    fs::recursive_directory_iterator it(g_root, error);
    if (error) {
        Fail("cannot walk the scratch directory", error.message());
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error) {
            Fail("cannot walk the scratch directory", error.message());
        }
        const fs::path& path = it->path();
        const fs::file_type type = it->symlink_status().type();
        const fs::path relative = path.lexically_relative(g_root);
        const std::vector<std::string> parts(relative.begin(), relative.end());

        // The directories above the Data folder, kept as they were made.
        if (parts.size() <= work.size()) {
            if (type != fs::file_type::directory ||
                !std::equal(parts.begin(), parts.end(), work.begin())) {
                Fail("entry created outside the Data folder", path.string());
            }
            continue;
        }
        if (!std::equal(work.begin(), work.end(), parts.begin())) {
            Fail("entry created outside the Data folder", path.string());
        }
        const std::size_t depth = parts.size() - work.size();
        const std::string& name = parts.back();
        if (depth == 1) {
            if (name == g_firmware.filename().string() && type == fs::file_type::regular) {
                if (it->file_size() != g_firmwareSize) {
                    Fail("firmware image changed", path.string());
                }
                continue;
            }
            if (name != g_dataDir.filename().string() || type != fs::file_type::directory) {
                Fail("entry created outside the Data folder", path.string());
            }
            continue;
        }
        if (parts[work.size()] != g_dataDir.filename().string()) {
            Fail("entry created outside the Data folder", path.string());
        }
        if (depth == 2) {
            if (type != fs::file_type::directory) {
                Fail("Data folder holds something other than a serial directory", path.string());
            }
            if (!IsPortableDirectoryName(name)) {
                Fail("serial directory name is not safe on every file system", path.string());
            }
            continue;
        }
        if (depth == 3 && type == fs::file_type::regular && IsFinishedDataName(name)) {
            continue;
        }
        if (depth == 3 && name.ends_with(".tmp")) {
            Fail("temporary file outlived its transfer", path.string());
        }
        Fail("unexpected entry in a serial directory", path.string());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::error_code error;
    g_root = fs::temp_directory_path(error) / ("orbtray-fuzz-" + std::to_string(::getpid()));
    if (error) {
        Fail("no temporary directory", error.message());
    }
    // A crashed run with the same process id may have left its tree behind.
    RemoveScratch();
    const std::size_t fixedPart = g_root.string().size() + std::string_view("//work/Data/").size();
    const std::string above =
        fixedPart < kDataFolderLength ? std::string(kDataFolderLength - fixedPart, 'a') : "above";
    g_workDir = g_root / above / "work";
    g_dataDir = g_workDir / "Data";
    g_firmware = g_workDir / "firmware.hex";
    fs::create_directories(g_workDir, error);
    if (error) {
        Fail("cannot create the scratch directory", g_workDir.string());
    }
    WriteFirmwareImage();
    std::atexit(RemoveScratch);

    g_dataFolder = g_dataDir.string() + platform::kPathSeparator;
    g_firmwarePath = g_firmware.string();
    SetConnectionLogSink(&g_log);
    SetNotifySink(&g_notifier);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    if (provider.remaining_bytes() < 2) {
        return 0;
    }
    const std::vector<std::uint8_t> control = provider.ConsumeBytes<std::uint8_t>(2);
    const bool serialLink = (control[0] & 1) != 0;
    const bool twoLinks = (control[0] & 2) != 0;
    Chunker chunker(control[1]);
    const std::vector<char> bytes = provider.ConsumeRemainingBytes<char>();

    {
        FuzzWorker workers[2] = {FuzzWorker(1), FuzzWorker(4294967295u)};
        bool hungUp[2] = {false, false};
        const std::size_t links = twoLinks ? 2 : 1;
        std::size_t turn = 0;
        for (std::size_t at = 0; at < bytes.size() && !(hungUp[0] && hungUp[links - 1]);) {
            const std::size_t count = std::min(chunker.Next(), bytes.size() - at);
            FuzzWorker& worker = workers[turn];
            if (!hungUp[turn] && !worker.OnReceive(bytes.data() + at, count, serialLink)) {
                // The serial link resynchronises on the next line; a TCP peer is hung up on.
                if (serialLink) {
                    worker.AbortTransfer();
                    worker.DiscardLine();
                } else {
                    hungUp[turn] = true;
                }
            }
            at += count;
            turn = (turn + 1) % links;
        }
        for (FuzzWorker& worker : workers) {
            worker.Close();
        }
    }

    CheckScratchTree();
    // Only what one conversation made is ever on the disk.
    std::error_code error;
    fs::remove_all(g_dataDir, error);
    if (error) {
        Fail("cannot empty the Data folder", error.message());
    }
    return 0;
}
