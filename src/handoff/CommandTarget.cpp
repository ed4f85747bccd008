#include "handoff/CommandTarget.h"

#include <utility>
#include <vector>

#include "handoff/Job.h"
#include "platform/Command.h"

namespace handoff {

namespace {
// sysexits.h: a temporary failure, the way mail delivery agents say "try again later".
constexpr int kTryAgainStatus = 75;
}  // namespace

Outcome DeliverByCommand(const std::string& command, const FileFacts& file,
                         std::chrono::seconds timeout, const std::atomic<bool>& cancel,
                         const std::function<void(std::string_view line)>& output) {
    const std::vector<std::pair<std::string, std::string>> environment = {
        {"ORBTRAY_FILE", file.path},
        {"ORBTRAY_SERIAL", file.serial},
        {"ORBTRAY_FOLDER", file.folder},
        {"ORBTRAY_NAME", file.name},
        {"ORBTRAY_SIZE", std::to_string(file.size)},
        {"ORBTRAY_SHA256", file.sha256},
        {"ORBTRAY_RECEIVED", IsoTime(file.received)},
    };
    const platform::CommandEnd end =
        platform::RunCommand(command, environment, timeout, cancel, output);
    switch (end.how) {
        case platform::CommandEnd::How::Exited:
            if (end.exitCode == 0) {
                return {Verdict::Delivered, ""};
            }
            return {end.exitCode == kTryAgainStatus ? Verdict::TryAgain : Verdict::Failed,
                    "exit status " + std::to_string(end.exitCode)};
        case platform::CommandEnd::How::TimedOut:
            return {Verdict::TryAgain,
                    "no end after " + std::to_string(timeout.count()) + " s, stopped"};
        case platform::CommandEnd::How::Cancelled:
            return {Verdict::TryAgain, "stopped with the receiver"};
        case platform::CommandEnd::How::NotStarted:
            break;
    }
    return {Verdict::TryAgain, "cannot start: " + end.error};
}

}  // namespace handoff
