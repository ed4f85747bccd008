#pragma once

// `orbtray outbox`, `outbox retry` and `outbox add`: what the user does with the hand-off's queue
// from a shell, beside a running receiver or without one.

#include <string>
#include <vector>

#include "handoff/Job.h"

int ListOutbox(const std::string& outbox);
int RetryOutbox(const std::string& outbox);
// Queues `files` for `targets`, or, with none, for every target receivers forwarded to from this
// outbox.
int AddToOutbox(const std::string& outbox, std::vector<handoff::Target> targets,
                const std::vector<std::string>& files);
