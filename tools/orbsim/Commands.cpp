#include "Commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "Conversation.h"
#include "NetClient.h"
#include "platform/FileSystem.h"

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
    if (!StartNetworkingOrSay()) {
        return kExitFailed;
    }
    const std::string where = FormatEndpoint(options.target);
    const Pacing pacing{options.chunkBytes, options.pauseMs};
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

}  // namespace orbsim
