#include "SerialInstrument.h"

#include <chrono>

#include "Conversation.h"
#include "platform/Event.h"

namespace orbsim {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::string_view kBoot = "BOOT\r\n";
// Enough of a stray answer or a long line to recognise it without flooding the terminal.
constexpr std::size_t kShownBytes = 8;
constexpr std::size_t kShownChars = 60;

int MillisecondsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string Ms(int ms) {
    return std::to_string(ms) + " ms";
}

// Bytes as "0x06 0x41", for answers that are not text.
std::string Hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kShownBytes; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text.append(text.empty() ? "0x" : " 0x");
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return bytes.size() > kShownBytes ? text + " ..." : text;
}

// Text with its control bytes made visible, so that a stray CR or NUL shows up in a message.
std::string Visible(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kShownChars; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            text += '\\';
            text += Hex(std::string_view(&c, 1)).substr(1);
        }
    }
    return bytes.size() > kShownChars ? text + "..." : text;
}

enum class Arrival { Data, Quiet, Failed };

// The port as one side of a conversation: writes, and waits that collect what arrives.
class Line {
public:
    explicit Line(platform::SerialPort& port) : port_(port) {}

    bool IsUsable() const { return never_.IsValid(); }

    // A write that fails shows as the missing answer that follows it.
    void Send(std::string_view bytes) {
        int error = 0;
        port_.Write(bytes.data(), bytes.size(), never_, &error);
    }

    // Waits up to `timeoutMs` for something to arrive and appends all that is waiting to
    // `received`. Quiet when nothing came in time; Failed with `error` set when the port broke.
    Arrival Await(int timeoutMs, std::string* received, std::string* error) {
        const SteadyClock::time_point deadline =
            SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        for (int left = timeoutMs;; left = MillisecondsLeft(deadline)) {
            int code = 0;
            switch (port_.WaitForData(never_, left, &code)) {
                case platform::PortWait::Data:
                    if (ReadWaiting(received) > 0) {
                        return Arrival::Data;
                    }
                    // Woken without anything to read: wait out the rest of the time.
                    if (left == 0) {
                        return Arrival::Quiet;
                    }
                    break;
                case platform::PortWait::Timeout:
                    return Arrival::Quiet;
                case platform::PortWait::StartFailed:
                    *error = "the port went away";
                    return Arrival::Failed;
                case platform::PortWait::Failed:
                    *error = "the port failed with error " + std::to_string(code);
                    return Arrival::Failed;
                case platform::PortWait::Stop:
                    *error = "the wait was interrupted";
                    return Arrival::Failed;
            }
        }
    }

    std::size_t ReadWaiting(std::string* received) {
        std::size_t total = 0;
        char buffer[1024];
        for (std::size_t count; (count = port_.Read(buffer, sizeof buffer)) > 0;) {
            received->append(buffer, count);
            total += count;
        }
        return total;
    }

private:
    platform::SerialPort& port_;
    // Never set: the simulator has nobody who could ask it to stop mid-wait.
    platform::Event never_;
};

// Sends one command line and insists on a lone ACK for it. `label` names the command in
// messages, `shown` (if not empty) what it said.
bool Exchange(Line& line, std::string_view bytes, const std::string& label,
              const std::string& shown, int timeoutMs, std::string* error) {
    line.Send(bytes);
    std::string answer;
    std::string failure;
    switch (line.Await(timeoutMs, &answer, &failure)) {
        case Arrival::Data:
            break;
        case Arrival::Quiet:
            *error = "no answer within " + Ms(timeoutMs) + " after " + label;
            return false;
        case Arrival::Failed:
            *error = failure + " while waiting for the answer to " + label;
            return false;
    }
    if (answer.size() == 1 && answer[0] == kAck) {
        return true;
    }
    // Two bytes where one belongs (even two ACKs) mean the receiver and we no longer agree on
    // which line an answer is for.
    *error = answer.size() == 1 && answer[0] == kNak ? "NAK" : "unexpected answer " + Hex(answer);
    *error += " after " + label;
    if (!shown.empty()) {
        *error += " (" + shown + ")";
    }
    return false;
}

// Whether a piece is over without waiting for silence: the receiver cuts pieces after a line
// feed or at the maximum size, so only a last piece without a line feed needs the gap.
bool IsWholePiece(std::string_view piece) {
    return piece.size() >= kMaxPieceBytes || piece.find('\n') != std::string_view::npos;
}

}  // namespace

void DiscardWaitingInput(platform::SerialPort& port) {
    std::string ignored;
    Line(port).ReadWaiting(&ignored);
}

bool SendTransferOverSerial(platform::SerialPort& port, std::string_view serial,
                            const std::vector<std::string_view>& lines, int answerTimeoutMs,
                            std::string* error) {
    Line line(port);
    if (!line.IsUsable()) {
        *error = "cannot create an event to wait on";
        return false;
    }
    const std::string hello = EncodeHello(serial);
    if (!Exchange(line, hello, "HELLO",
                  Visible(std::string_view(hello).substr(0, hello.size() - 2)), answerTimeoutMs,
                  error)) {
        return false;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!Exchange(line, EncodeLine(lines[i]), "line " + std::to_string(i + 1),
                      "LINE " + Visible(lines[i]), answerTimeoutMs, error)) {
            return false;
        }
    }
    return Exchange(line, EncodeBye(), "BYE", "", answerTimeoutMs, error);
}

bool ReceiveFirmware(platform::SerialPort& port, const BootTiming& timing, FirmwareImage* image,
                     std::string* error) {
    *image = FirmwareImage();
    Line line(port);
    if (!line.IsUsable()) {
        *error = "cannot create an event to wait on";
        return false;
    }
    std::string failure;
    auto brokenPort = [&](const std::string& when) {
        *error = failure + " " + when;
        return false;
    };

    line.Send(kBoot);
    std::string received;
    switch (line.Await(timing.answerMs, &received, &failure)) {
        case Arrival::Data:
            break;
        case Arrival::Quiet:
            *error = "no answer to BOOT within " + Ms(timing.answerMs);
            return false;
        case Arrival::Failed:
            return brokenPort("while waiting for the answer to BOOT");
    }
    if (received[0] == kNak) {
        *error = "the receiver has no firmware to send (NAK after BOOT)";
        return false;
    }
    if (received[0] != kAck) {
        *error = "unexpected answer " + Hex(received) + " to BOOT";
        return false;
    }
    received.erase(0, 1);

    // The start record follows the ACK unasked, possibly in the same read.
    while (received.find('\n') == std::string::npos && received.size() < kBootStartRecord.size()) {
        const Arrival arrival = line.Await(timing.answerMs, &received, &failure);
        if (arrival == Arrival::Failed) {
            return brokenPort("while waiting for the start record");
        }
        if (arrival == Arrival::Quiet) {
            *error = received.empty() ? "no start record within " + Ms(timing.answerMs) +
                                            " after the ACK to BOOT"
                                      : "incomplete start record \"" + Visible(received) + "\"";
            return false;
        }
    }
    const std::size_t lineFeed = received.find('\n');
    const std::size_t recordSize = lineFeed == std::string::npos ? received.size() : lineFeed + 1;
    if (std::string_view(received).substr(0, recordSize) != kBootStartRecord) {
        *error = "bad start record \"" + Visible(received.substr(0, recordSize)) +
                 "\" (expected \"" + Visible(kBootStartRecord) + "\")";
        return false;
    }
    if (received.size() > recordSize) {
        *error = "the start record was followed by " + Hex(received.substr(recordSize)) +
                 " before any ACK";
        return false;
    }

    for (;;) {
        line.Send(std::string_view(&kAck, 1));
        std::string piece;
        const std::string after = "after ACK " + std::to_string(image->pieces + 1);
        Arrival arrival = line.Await(timing.quietMs, &piece, &failure);
        if (arrival == Arrival::Quiet) {
            // Nothing more to release: the receiver has ended the update.
            return true;
        }
        while (arrival == Arrival::Data && !IsWholePiece(piece)) {
            arrival = line.Await(timing.gapMs, &piece, &failure);
        }
        if (arrival == Arrival::Failed) {
            return brokenPort(after);
        }
        // Bytes past the end of a piece were sent before we asked for them.
        const std::size_t end = piece.find('\n');
        if (piece.size() > kMaxPieceBytes || (end != std::string::npos && end + 1 < piece.size())) {
            *error = "more than one piece " + after + ": " + std::to_string(piece.size()) +
                     " bytes \"" + Visible(piece) + "\"";
            return false;
        }
        image->bytes += piece;
        ++image->pieces;
    }
}

}  // namespace orbsim
