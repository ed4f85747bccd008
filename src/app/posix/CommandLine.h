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
    // Never opened, whatever the scan finds: named as in the log (ttyUSB0) or by path.
    std::vector<std::string> ignorePorts;
    bool usbScan = true;
    // The web page: empty for the default address (kDefaultWebAddress), "off" for none,
    // otherwise "ADDR:PORT" as given, which ParseWebAddress accepts.
    std::string web;
    std::string webTokenFile;           // holds the secret; required beyond loopback
    std::vector<std::string> webHosts;  // further names the page answers to in Host
    // The hand-off: a folder every received file is copied to, and a command run for each.
    std::string forwardTo;
    std::string onFile;
    unsigned onFileTimeout = 600;  // seconds
    std::string outbox;            // empty: the default under the user's state directory
    // `orbtray outbox [retry | add FILE...]`: show or change the outbox and end.
    enum class OutboxCommand { None, List, Retry, Add };
    OutboxCommand outboxCommand = OutboxCommand::None;
    std::vector<std::string> addFiles;
    bool help = false;
    bool version = false;
    std::string output;  // with `help` or `version`: the text for standard output
    std::string error;   // set when the arguments make no sense
};

// `argv[0]` is the program's name and is not parsed.
CommandLine ParseCommandLine(int argc, const char* const* argv);
