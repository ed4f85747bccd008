#pragma once

#include "Options.h"

namespace orbsim {

// Exit statuses of the tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Run one parsed command, report on stdout and stderr, and return the exit status.
int RunDiscover(const Options& options);
int RunSend(const Options& options);
int RunBoot(const Options& options);

}  // namespace orbsim
