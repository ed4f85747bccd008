#pragma once

// The serial side of an instrument: one transfer, or one firmware update, over a port that is
// already open. The instrument waits for the receiver's answer before it sends anything more,
// and that wait is what makes the serial link reliable, so the simulator does exactly the same.
// Only the SerialPort interface is used, so tests can script the receiver's side.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SerialPort.h"
#include "transfer/Protocol.h"

namespace orbsim {

// What the receiver sends right after its ACK to BOOT, before any piece of the image.
inline constexpr std::string_view kBootStartRecord = ":040000A0000000005C\r\n";

// Drops whatever the port received before we said anything: it cannot be an answer to us, and
// left in place it would be taken for one.
void DiscardWaitingInput(platform::SerialPort& port);

// HELLO, a LINE per line, BYE, each sent only once the one before was acknowledged. False with
// `error` filled (without the port's name) at the first answer that is missing or not an ACK.
bool SendTransferOverSerial(platform::SerialPort& port, std::string_view serial,
                            const std::vector<std::string_view>& lines, int answerTimeoutMs,
                            std::string* error);

struct BootTiming {
    int answerMs = 2000;  // for the answer to BOOT and for the start record
    int quietMs = 500;    // silence after an ACK that means the image is complete
    // Silence that ends a piece which neither ends in a line feed nor fills the maximum: only the
    // last piece of an image without a final line feed, unless the receiver misbehaves.
    int gapMs = 50;
};

struct FirmwareImage {
    std::string bytes;  // the pieces joined, without the start record
    std::size_t pieces = 0;
};

// BOOT, then one ACK per piece until the receiver has nothing more to send. False with `error`
// filled when the receiver refuses, stays silent or breaks the protocol.
bool ReceiveFirmware(platform::SerialPort& port, const BootTiming& timing, FirmwareImage* image,
                     std::string* error);

}  // namespace orbsim
