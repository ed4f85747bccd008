#include "Commands.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Conversation.h"
#include "NetClient.h"
#include "SerialInstrument.h"
#include "platform/FileSystem.h"
#include "platform/SerialPort.h"

namespace orbsim {

namespace {

bool ReadWholeFile(const std::string& path, std::string* contents) {
    platform::File file;
    if (!file.OpenForReading(path)) {
        return false;
    }
    contents->clear();
    char buffer[64 * 1024];
    for (;;) {
        const long count = file.Read(buffer, sizeof buffer);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        contents->append(buffer, static_cast<std::size_t>(count));
    }
}

bool StartNetworkingOrSay() {
    if (platform::StartNetworking()) {
        return true;
    }
    std::fprintf(stderr, "orbsim: cannot start networking\n");
    return false;
}

std::unique_ptr<platform::SerialPort> OpenPortOrSay(const std::string& path) {
    std::unique_ptr<platform::SerialPort> port = platform::MakeSerialPort();
    const platform::PortOpen opened = port->Open(path);
    if (opened == platform::PortOpen::InUse) {
        std::fprintf(stderr, "orbsim: cannot open %s: in use by %s\n", path.c_str(),
                     port->Holder().empty() ? "another program" : port->Holder().c_str());
        return nullptr;
    }
    if (opened != platform::PortOpen::Opened) {
        std::fprintf(stderr, "orbsim: cannot open %s\n", path.c_str());
        return nullptr;
    }
    DiscardWaitingInput(*port);
    return port;
}

int SendOverSerial(const Options& options, const std::vector<std::string>& contents) {
    const std::unique_ptr<platform::SerialPort> port = OpenPortOrSay(options.serialPort);
    if (port == nullptr) {
        return kExitFailed;
    }
    const char* where = options.serialPort.c_str();
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const std::vector<std::string_view> lines = SplitLines(contents[i]);
        std::string error;
        if (!SendTransferOverSerial(*port, options.serial, lines, options.timeoutMs, &error)) {
            std::fprintf(stderr, "orbsim: %s: %s\n", where, error.c_str());
            return kExitFailed;
        }
        std::printf("sent %s: %zu lines as %s over %s\n", options.files[i].c_str(), lines.size(),
                    options.serial.c_str(), where);
        std::fflush(stdout);
    }
    return kExitOk;
}

}  // namespace

int RunDiscover(const Options& options) {
    if (!StartNetworkingOrSay()) {
        return kExitFailed;
    }
    DiscoveryReply reply;
    std::string error;
    if (!Discover(options.target, options.timeoutMs, &reply, &error)) {
        std::fprintf(stderr, "orbsim: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("reply from %s: %s\n", FormatEndpoint(reply.from).c_str(), reply.text.c_str());
    return kExitOk;
}

int RunSend(const Options& options) {
    // Every file is read first: a typo in the last name must not leave the receiver with only
    // some of the transfers.
    std::vector<std::string> contents(options.files.size());
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        if (!ReadWholeFile(options.files[i], &contents[i])) {
            std::fprintf(stderr, "orbsim: cannot read %s\n", options.files[i].c_str());
            return kExitFailed;
        }
    }
    if (options.link == Link::Serial) {
        return SendOverSerial(options, contents);
    }
    if (!StartNetworkingOrSay()) {
        return kExitFailed;
    }
    const std::string where = FormatEndpoint(options.target);
    const Pacing pacing{options.chunkBytes, options.pauseMs,
                        options.from ? &*options.from : nullptr};
    for (std::size_t i = 0; i < options.files.size(); ++i) {
        const std::vector<std::string_view> lines = SplitLines(contents[i]);
        std::string error;
        // One connection per file: the receiver drops whatever follows BYE in the same read,
        // so a second transfer on the same connection could be lost.
        if (!SendOverTcp(options.target, EncodeTransfer(options.serial, lines), pacing, &error)) {
            std::fprintf(stderr, "orbsim: %s\n", error.c_str());
            return kExitFailed;
        }
        std::printf("sent %s: %zu lines as %s to %s\n", options.files[i].c_str(), lines.size(),
                    options.serial.c_str(), where.c_str());
        std::fflush(stdout);
    }
    return kExitOk;
}

int RunBoot(const Options& options) {
    const std::unique_ptr<platform::SerialPort> port = OpenPortOrSay(options.serialPort);
    if (port == nullptr) {
        return kExitFailed;
    }
    // The file is made before the update starts: an image that cannot be kept should not use up
    // the receiver's update.
    const char* out = options.outFile.c_str();
    platform::File file;
    if (platform::PathExists(options.outFile)) {
        platform::RemoveFile(options.outFile);
    }
    if (file.CreateNew(options.outFile) != platform::FileOutcome::Done) {
        std::fprintf(stderr, "orbsim: cannot create %s\n", out);
        return kExitFailed;
    }
    auto failed = [&file, &options] {
        // An empty or partial file must not pass for an image someone could flash.
        file.Close();
        platform::RemoveFile(options.outFile);
        return kExitFailed;
    };
    BootTiming timing;
    timing.answerMs = options.timeoutMs;
    timing.quietMs = options.quietMs;
    FirmwareImage image;
    std::string error;
    if (!ReceiveFirmware(*port, timing, &image, &error)) {
        std::fprintf(stderr, "orbsim: %s: %s\n", options.serialPort.c_str(), error.c_str());
        return failed();
    }
    if (!file.Write(image.bytes.data(), image.bytes.size()) || !file.SyncToDisk()) {
        std::fprintf(stderr, "orbsim: cannot write %s\n", out);
        return failed();
    }
    file.Close();
    std::printf("received %zu pieces, %zu bytes into %s\n", image.pieces, image.bytes.size(), out);
    return kExitOk;
}

}  // namespace orbsim
