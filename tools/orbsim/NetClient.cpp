#include "NetClient.h"

#include <chrono>

#include "Conversation.h"
#include "Endpoint.h"
#include "platform/Event.h"
#include "platform/Waitable.h"

namespace orbsim {

namespace {

using SteadyClock = std::chrono::steady_clock;

// How long a finished transfer waits for the receiver to close its end. The receiver closes once
// it has handled every byte before our end of stream, so this only runs out against a peer that
// never closes or is still busy with a very large file.
constexpr int kCloseWaitMs = 30000;

int MillisecondsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::string WithError(std::string text, int code) {
    return text.append(": error ").append(std::to_string(code));
}

bool SendAll(platform::Socket& socket, std::string_view bytes, int* errorCode) {
    while (!bytes.empty()) {
        const platform::IoResult sent = socket.Send(bytes.data(), bytes.size());
        if (sent.status != platform::IoStatus::Ok || sent.count == 0) {
            *errorCode = sent.status == platform::IoStatus::Failed ? sent.error : 0;
            return false;
        }
        bytes.remove_prefix(sent.count);
    }
    return true;
}

// Waits until the receiver closes or kCloseWaitMs has passed. The receiver never answers over
// TCP, so anything that does arrive is only read to get it out of the way.
void AwaitReceiverClose(platform::Socket& socket) {
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(kCloseWaitMs);
    char discard[512];
    for (int left = kCloseWaitMs; left > 0; left = MillisecondsLeft(deadline)) {
        if (!socket.SetReceiveTimeout(left)) {
            return;
        }
        if (socket.Receive(discard, sizeof discard).status != platform::IoStatus::Ok) {
            return;
        }
    }
}

}  // namespace

bool Discover(const platform::Ipv4Endpoint& target, int timeoutMs, DiscoveryReply* reply,
              std::string* error) {
    const std::string where = FormatEndpoint(target);
    platform::Socket socket = platform::Socket::OpenUdp();
    if (!socket.IsValid()) {
        *error = "cannot open a UDP socket";
        return false;
    }
    const platform::IoResult sent =
        socket.SendTo(kDiscoveryProbe.data(), kDiscoveryProbe.size(), target);
    if (sent.status != platform::IoStatus::Ok) {
        *error = WithError("cannot send the probe to " + where, sent.error);
        return false;
    }

    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int ignored = 0;
    char buffer[512];
    for (int left = timeoutMs; left > 0; left = MillisecondsLeft(deadline)) {
        if (!socket.SetReceiveTimeout(left)) {
            *error = "cannot set a receive time-out";
            return false;
        }
        platform::Ipv4Endpoint from;
        const platform::IoResult received = socket.ReceiveFrom(buffer, sizeof buffer, &from);
        if (received.status != platform::IoStatus::Ok) {
            // A time-out ends up here too. Failing well before it means the OS knows more, such
            // as Windows reporting that nothing listens on the target port.
            if (received.status == platform::IoStatus::Failed && MillisecondsLeft(deadline) > 50) {
                *error = WithError("no reply from " + where, received.error);
                return false;
            }
            break;
        }
        const std::string_view text(buffer, received.count);
        if (IsDiscoveryReply(text)) {
            reply->from = from;
            reply->text = text;
            return true;
        }
        ++ignored;
    }
    *error = "no reply from " + where + " within " + std::to_string(timeoutMs) + " ms";
    if (ignored > 0) {
        *error += " (ignored " + std::to_string(ignored) + " unexpected datagrams)";
    }
    return false;
}

bool SendOverTcp(const platform::Ipv4Endpoint& receiver, std::string_view bytes,
                 const Pacing& pacing, std::string* error) {
    const std::string where = FormatEndpoint(receiver);
    // Never set: waiting on it with a time-out is the pause between chunks.
    platform::Event pause;
    if (pacing.pauseMs > 0 && !pause.IsValid()) {
        *error = "cannot create the pause timer";
        return false;
    }

    int code = 0;
    platform::Socket socket = platform::Socket::ConnectTcp(receiver, &code, pacing.from);
    if (!socket.IsValid()) {
        *error = WithError("cannot connect to " + where, code);
        return false;
    }
    bool first = true;
    for (const std::string_view chunk : SplitIntoChunks(bytes, pacing.chunkBytes)) {
        if (!first && pacing.pauseMs > 0) {
            platform::WaitFor(pause.AsWaitable(), pacing.pauseMs);
        }
        first = false;
        if (!SendAll(socket, chunk, &code)) {
            *error = code != 0 ? WithError("sending to " + where + " failed", code)
                               : "sending to " + where + " failed: connection closed";
            return false;
        }
    }
    // Our end of stream tells the receiver the transfer is over; waiting for its close before
    // closing ours keeps the next file's connection from overtaking this one, and means the
    // receiver has stored the file when we report it.
    socket.ShutdownSend();
    AwaitReceiverClose(socket);
    socket.ShutdownBoth();
    socket.Close();
    return true;
}

}  // namespace orbsim
