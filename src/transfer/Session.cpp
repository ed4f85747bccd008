// The line protocol: byte classes, commands, replies and states. Everything that touches files
// is the store's.

#include "transfer/Session.h"

#include <array>
#include <chrono>
#include <cstdint>

#include "transfer/LineBytes.h"
#include "transfer/Protocol.h"

namespace {

constexpr char kLineFeed = 0x0A;

// Length of the line end (LF, or CR LF) at `at`, or 0 when the chunk has none there.
std::size_t LineEndAt(const char* data, std::size_t at, std::size_t count) {
    if (at < count && data[at] == kLineFeed) {
        return 1;
    }
    return at + 1 < count && data[at] == '\r' && data[at + 1] == kLineFeed ? 2 : 0;
}

// The first record of every firmware update: 4 bytes at address 0, record type A0.
constexpr std::array<std::uint8_t, 8> kBootStartRecord = {0x04, 0x00, 0x00, 0xA0,
                                                          0x00, 0x00, 0x00, 0x00};

}  // namespace

void Session::Log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    host.LogV(format, arguments);
    va_end(arguments);
}

bool Session::OnReceive(const char* data, std::size_t count, bool serialLink) {
    std::size_t i = 0;
    while (i < count) {
        // Most bytes are line text: take each run of them in one append.
        const std::size_t end =
            static_cast<std::size_t>(linebytes::EndOfLineBytes(data + i, data + count) - data);
        if (end > i) {
            // The byte that would pass the bound ends the call; the line is given up.
            if (end - i > kMaxLineLength - line.size()) {
                line.clear();
                Refuse("Connection %s line too long\n");
                return false;
            }
            // A whole line inside the chunk needs no copy: handle it where it lies.
            const std::size_t lineEnd = LineEndAt(data, end, count);
            if (line.empty() && lineEnd > 0) {
                const Step step = OnLine(std::string_view(data + i, end - i), serialLink);
                i = end + lineEnd;
                if (step != Step::Continue) {
                    return step == Step::Done;
                }
                continue;
            }
            line.append(data + i, end - i);
            i = end;
            continue;
        }
        Step step = Step::Continue;
        switch (data[i++]) {
            case kAck:
                step = OnAckByte();
                break;
            case kNak:
                step = OnNakByte();
                break;
            case kLineFeed:
                step = OnLineEnd(serialLink);
                break;
            default:
                break;
        }
        // The rest of the chunk is dropped once a step ends the call.
        if (step != Step::Continue) {
            return step == Step::Done;
        }
    }
    if (state == TxState::Receiving) {
        ReportProgress(false);
    }
    return true;
}

int Session::ProgressDueMs() const {
    if (state != TxState::Receiving || lineCount == progress.lineCount) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        progressDue - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void Session::ReportProgress(bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && at < progressDue) {
        return;
    }
    progressDue = at + kProgressEvery;
    // A slow instrument's lines would wait in the buffer until it fills: the page that shows
    // the transfer reads them from the file.
    store.WriteOutSoFar();
    progress.lineCount = lineCount;
    host.TransferProgress(progress);
}

void Session::PeerLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    host.PeerLogV(format, arguments);
    va_end(arguments);
}

Session::Step Session::Refuse(const char* format) {
    PeerLog(format, name);
    host.SendNak();
    return Step::Failed;
}

Session::Step Session::Fail(const char* format) {
    Log(format, name);
    host.SendNak();
    return Step::Failed;
}

Session::Step Session::OnAckByte() {
    line.clear();
    if (state != TxState::Updating) {
        PeerLog("Connection %s unexpected ACK\n", name);
        return Step::Failed;
    }
    char piece[TransferFile::kPieceSize];
    store.ReadPiece(piece);
    if (piece[0] == '\0') {
        // Ending an update only closes the image it read: that cannot fail.
        static_cast<void>(FinishTransfer());
        Log("Connection %s transfer complete\n", name);
        return Step::Done;
    }
    host.SendLine(piece);
    ++lineCount;
    return Step::Continue;
}

Session::Step Session::OnNakByte() {
    line.clear();
    if (state != TxState::Updating) {
        PeerLog("Connection %s unexpected NAK\n", name);
        return Step::Failed;
    }
    // No retry: the refused piece is not sent again.
    AbortTransfer();
    return Step::Failed;
}

Session::Step Session::OnLineEnd(bool serialLink) {
    const Step step = OnLine(line, serialLink);
    line.clear();
    return step;
}

Session::Step Session::OnLine(std::string_view text, bool serialLink) {
    // Commands are a few letters long: a plain loop reaches the blank before a library search
    // would have started.
    std::size_t blank = 0;
    while (blank < text.size() && text[blank] != ' ') {
        ++blank;
    }
    const std::string_view command = text.substr(0, blank);
    // A line without a blank is its own argument too.
    const std::string_view argument = blank == text.size() ? text : text.substr(blank + 1);

    // Data lines are nearly all the traffic: they are looked at first.
    if (command == "LINE" || command == "BYE") {
        if (state != TxState::Receiving) {
            return Refuse("Connection %s unexpected command\n");
        }
        return command == "LINE" ? OnData(argument) : OnBye();
    }
    const bool startsSomething = command == "HELLO" || command == "BOOT";
    // A serial instrument that starts over has given up on what it was doing.
    if (startsSomething && serialLink && state != TxState::Idle) {
        AbortTransfer();
    }
    if (command == "HELLO") {
        return OnHello(argument);
    }
    if (command == "BOOT") {
        // Over TCP the open file must not be left behind the firmware image: refuse instead.
        if (state != TxState::Idle) {
            return Refuse("Connection %s unexpected boot\n");
        }
        return OnBoot();
    }
    return Refuse("Connection %s invalid command\n");
}

Session::Step Session::OnHello(std::string_view argument) {
    if (state != TxState::Idle) {
        return Refuse("Connection %s unexpected hello\n");
    }
    serial = argument;
    switch (store.OpenDataFile(serial)) {
        case OpenOutcome::DirectoryFailed:
            return Fail("Connection %s cannot make directory\n");
        case OpenOutcome::FileFailed:
            return Fail("Connection %s cannot open file\n");
        case OpenOutcome::Opened:
            break;
    }
    PeerLog("Connection %s serial number is %s\n", name, serial.c_str());
    host.SerialKnown(serial.c_str());
    host.SendAck();
    lineCount = 0;
    state = TxState::Receiving;
    store.NameDataFile(progress);
    progress.serial = serial;
    ReportProgress(true);
    return Step::Continue;
}

Session::Step Session::OnBoot() {
    if (!store.OpenFirmware()) {
        return Refuse("Connection %s cannot open firmware\n");
    }
    PeerLog("Connection %s firmware update\n", name);
    host.SendAck();
    SendBootStart();
    lineCount = 1;
    state = TxState::Updating;
    return Step::Continue;
}

void Session::SendHexRecord(std::span<const std::uint8_t> bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string record = ":";
    unsigned sum = 0;
    auto appendByte = [&record](std::uint8_t value) {
        record += kHex[value >> 4];
        record += kHex[value & 0x0F];
    };
    for (const std::uint8_t value : bytes) {
        appendByte(value);
        sum += value;
    }
    appendByte(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    record += "\r\n";
    host.SendLine(record.c_str());
}

void Session::SendBootStart() {
    SendHexRecord(kBootStartRecord);
}

Session::Step Session::OnData(std::string_view argument) {
    if (!store.WriteDataLine(argument)) {
        // A full disk: the file can no longer be what the instrument sent. A serial instrument
        // keeps its data on NAK and may try again.
        store.DeleteDataFile();
        state = TxState::Idle;
        host.TransferAborted();
        return Fail("Connection %s cannot write file\n");
    }
    ++lineCount;
    host.SendAck();
    return Step::Continue;
}

Session::Step Session::OnBye() {
    if (!FinishTransfer()) {
        host.SendNak();
        return Step::Failed;
    }
    Log("Connection %s transfer complete\n", name);
    host.SendAck();
    // What follows in the chunk is the instrument's next transfer: one that sends its files back
    // to back may put the next HELLO in the same packet or read as this BYE.
    return Step::Continue;
}

bool Session::FinishTransfer() {
    if (!store.IsOpen()) {
        state = TxState::Idle;
        return true;
    }
    if (state != TxState::Receiving) {
        // A firmware update: the image is only read, never moved or announced.
        Log("Connection %s transfered %u lines\n", name, unsigned(lineCount));
        store.CloseFirmware();
        state = TxState::Idle;
        return true;
    }
    ReceivedFile received;
    const FinishOutcome outcome = store.FinishDataFile(received);
    state = TxState::Idle;
    if (outcome != FinishOutcome::Finished) {
        host.TransferAborted();
    }
    switch (outcome) {
        case FinishOutcome::WriteFailed:
            Log("Connection %s cannot write file\n", name);
            return false;
        case FinishOutcome::RenameFailed:
            // Not announced, since the file list will not show it; but the data is all there.
            Log("Connection %s cannot rename file\n", name);
            Log("Connection %s kept the data in %s\n", name, store.Path().c_str());
            return false;
        case FinishOutcome::Lost:
            Log("Connection %s transfer lost: its file was taken away and could not be written "
                "again\n",
                name);
            return false;
        case FinishOutcome::Finished:
            break;
    }
    if (store.Rewritten()) {
        Log("Connection %s file taken away while receiving, written again\n", name);
    }
    Log("Connection %s transfered %u lines\n", name, unsigned(lineCount));
    received.serial = serial;
    received.lineCount = lineCount;
    host.FileReceived(received);
    return true;
}

void Session::AbortTransfer() {
    if (store.IsOpen()) {
        // The file goes before the line about it, so that whoever reads the log finds it gone.
        if (state == TxState::Receiving) {
            store.DeleteDataFile();
            host.TransferAborted();
        } else {
            store.CloseFirmware();
        }
        PeerLog("Connection %s transfer aborted\n", name);
    }
    state = TxState::Idle;
}
