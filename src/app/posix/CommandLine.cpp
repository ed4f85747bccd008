#include "app/posix/CommandLine.h"

#include <cstdlib>
#include <string_view>

const char kUsage[] =
    "usage: orbtray [--data-folder DIR] [--firmware FILE] [--port N]\n"
    "               [--serial-port PATH]... [--no-usb-scan]\n"
    "               [--web ADDR:PORT|off] [--web-token FILE] [--web-host NAME]...\n"
    "       orbtray list [--data-folder DIR]\n"
    "\n"
    "Receives instrument readings over TCP and answers discovery probes over UDP, both on\n"
    "port N (default 9393), and from every CP210x USB serial bridge, and stores each transfer\n"
    "as DIR/<serial>/YYMMDD-HHMMSS.csv.\n"
    "\n"
    "orbtray list prints the files received so far, newest first, one per line: UTC time,\n"
    "serial number, file name and size, separated by tabs.\n"
    "\n"
    "  --data-folder DIR  where files are stored (default $XDG_DATA_HOME/Orbalinex/Data,\n"
    "                     or ~/.local/share/Orbalinex/Data)\n"
    "  --firmware FILE    firmware image sent to instruments that ask for an update\n"
    "  --port N           TCP and UDP port, 1-65535\n"
    "  --serial-port PATH also serve this serial port (any adapter, or a pty); repeatable\n"
    "  --no-usb-scan      do not look for CP210x bridges\n"
    "  --web ADDR:PORT    serve the web page there (default 127.0.0.1:9394), or 'off'\n"
    "  --web-token FILE   the page asks for the token in FILE (needed off loopback)\n"
    "  --web-host NAME    also accept requests for the page addressed to NAME\n"
    "  --help, --version\n";

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "list") {
        line.list = true;
        first = 2;
    }
    for (int i = first; i < argc && line.error.empty(); ++i) {
        const std::string_view option = argv[i];
        // Listing reads the Data folder and nothing else.
        if (line.list && option != "--data-folder" && option != "--help" && option != "-h") {
            line.error = "list takes no '" + std::string(option) + "'";
            break;
        }
        const bool takesValue = option == "--data-folder" || option == "--firmware" ||
                                option == "--port" || option == "--serial-port" ||
                                option == "--web" || option == "--web-token" ||
                                option == "--web-host";
        if (takesValue && i + 1 >= argc) {
            line.error = std::string(option) + " needs a value";
            break;
        }
        if (option == "--help" || option == "-h") {
            line.help = true;
        } else if (option == "--version") {
            line.version = true;
        } else if (option == "--data-folder") {
            line.dataFolder = argv[++i];
            if (line.dataFolder.empty()) {
                line.error = "--data-folder needs a directory";
            }
        } else if (option == "--serial-port") {
            line.serialPorts.push_back(argv[++i]);
        } else if (option == "--no-usb-scan") {
            line.usbScan = false;
        } else if (option == "--web") {
            line.web = argv[++i];
        } else if (option == "--web-token") {
            line.webTokenFile = argv[++i];
        } else if (option == "--web-host") {
            line.webHosts.push_back(argv[++i]);
        } else if (option == "--firmware") {
            line.firmwarePath = argv[++i];
        } else if (option == "--port") {
            const std::string value = argv[++i];
            char* end = nullptr;
            const long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 1 || port > 65535) {
                line.error = "--port must be a number from 1 to 65535, not '" + value + "'";
            } else {
                line.port = static_cast<std::uint16_t>(port);
            }
        } else {
            line.error = "unknown option '" + std::string(option) + "'";
        }
    }
    return line;
}
