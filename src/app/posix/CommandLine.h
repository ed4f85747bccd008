#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/NetPorts.h"

struct CommandLine {
    bool list = false;         // `orbtray list`: print the received files and end
    std::string dataFolder;    // empty: the default under the user's data directory
    std::string firmwarePath;  // empty: every firmware request is refused
    std::uint16_t port = kInstrumentPort;
    std::vector<std::string> serialPorts;  // served whenever present, CP210x or not
    std::vector<std::string> ignorePorts;  // --ignore-port NAME, repeatable
    bool usbScan = true;
    bool help = false;
    bool version = false;
    std::string error;  // set when the arguments make no sense
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

extern const char kUsage[];
