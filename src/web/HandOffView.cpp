#include "web/HandOffView.h"

#include <algorithm>

const char* HandOffWord(handoff::HandOff state) {
    switch (state) {
        case handoff::HandOff::Done:
            return "handed on";
        case handoff::HandOff::Waiting:
            return "waiting";
        case handoff::HandOff::Failed:
            return "failed";
        case handoff::HandOff::None:
            break;
    }
    return nullptr;
}

nlohmann::json OutboxJson(const handoff::ForwardStatus& status) {
    nlohmann::json failed = nlohmann::json::array();
    const std::size_t shown = std::min(status.failed.size(), kMaxFailedShown);
    for (std::size_t i = 0; i < shown; ++i) {
        const handoff::Job& job = status.failed[i];
        failed.push_back({{"serial", job.file.serial},
                          {"dir", job.file.folder},
                          {"name", job.file.name},
                          {"target", job.target.where},
                          {"attempts", job.attempts},
                          {"error", job.lastError}});
    }
    return {
        {"forwarding", true},
        {"waiting", status.waiting},
        {"failedCount", status.failed.size()},
        {"failed", std::move(failed)},
        {"down", status.down},
        {"lastDelivery", status.lastDelivery != 0 ? handoff::ListTime(status.lastDelivery) : ""},
        {"lastDelivered", status.lastDelivered}};
}
