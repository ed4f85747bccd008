// orbsim: stands in for a hand-held instrument so that the receiver can be tried, tested and
// measured without one.

#include <cstdio>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Options.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const orbsim::ParseResult parsed = orbsim::ParseCommandLine(arguments);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "orbsim: %s\nRun 'orbsim --help' for the commands and options.\n",
                     parsed.error.c_str());
        return orbsim::kExitUsage;
    }
    switch (parsed.options.command) {
        case orbsim::Command::Help:
        case orbsim::Command::Version:
            std::fputs(parsed.output.c_str(), stdout);
            return orbsim::kExitOk;
        case orbsim::Command::Discover:
            return orbsim::RunDiscover(parsed.options);
        case orbsim::Command::Send:
            return orbsim::RunSend(parsed.options);
        case orbsim::Command::Boot:
            return orbsim::RunBoot(parsed.options);
    }
    return orbsim::kExitFailed;
}
