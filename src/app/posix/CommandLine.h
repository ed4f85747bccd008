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
    bool usbScan = true;
    // The web page: empty serves the default 127.0.0.1:9394, "off" serves none, else ADDR:PORT.
    std::string web;
    std::string webTokenFile;           // holds the token a browser must show; empty: none
    std::vector<std::string> webHosts;  // further names the page may be asked for by
    bool help = false;
    bool version = false;
    std::string error;  // set when the arguments make no sense
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

extern const char kUsage[];
