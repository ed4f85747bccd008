#pragma once

// Hands a file to the user's command. The command's text is run as the user wrote it; the file's
// facts reach it only through its environment, so nothing an instrument sends can become part of
// a command line.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "handoff/FolderTarget.h"

namespace handoff {

// Exit status 0 delivered; 75 (EX_TEMPFAIL) or the time-out: try this job again later; anything
// else failed. Each line the command writes is passed to `output`.
Outcome DeliverByCommand(const std::string& command, const FileFacts& file,
                         std::chrono::seconds timeout, const std::atomic<bool>& cancel,
                         const std::function<void(std::string_view line)>& output);

}  // namespace handoff
