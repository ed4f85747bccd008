#pragma once

// The hand-off as the page shows it: the outbox's state for /api/outbox, and each listed file's
// word for its row. Built from what the forwarder's runners last published, never from the
// outbox on the disk.

#include <cstddef>

#include <nlohmann/json.hpp>

#include "handoff/Forwarder.h"

// "handed on", "waiting" or "failed"; null for a file that was never queued.
[[nodiscard]] const char* HandOffWord(handoff::HandOff state);

// {"forwarding":true,"waiting","failedCount",
//  "failed":[{"serial","dir","name","target","attempts","error"}],"down":["TARGET: REASON"],
//  "lastDelivery":"YYYY-MM-DD HH:MM:SS" UTC or "","lastDelivered":"<folder>/<name>"}.
// Of thousands failed, only kMaxFailedShown are listed: the page asks for this every few
// seconds.
[[nodiscard]] nlohmann::json OutboxJson(const handoff::ForwardStatus& status);
inline constexpr std::size_t kMaxFailedShown = 100;
