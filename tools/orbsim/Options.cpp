#include "Options.h"

namespace orbsim {

const char kUsage[] =
    "usage: orbsim discover [--host A.B.C.D] [--port N] [--timeout MS]\n"
    "       orbsim send --tcp A.B.C.D[:PORT] --serial SN [--chunk BYTES] [--pause MS]\n"
    "                   [--from A.B.C.D] FILE...\n"
    "       orbsim send --serial-port PATH --serial SN [--timeout MS] FILE...\n"
    "       orbsim boot --serial-port PATH --out FILE [--timeout MS] [--quiet MS]\n"
    "       orbsim --help | --version\n";

const char kHelp[] =
    "orbsim: plays a hand-held instrument towards an OrbTray receiver.\n"
    "\n"
    "  orbsim discover [--host A.B.C.D] [--port N] [--timeout MS]\n"
    "      Sends the discovery probe (default 127.0.0.1:9393) and prints the first valid\n"
    "      reply. Waits --timeout milliseconds (default 2000); exit 1 without a reply.\n"
    "\n"
    "  orbsim send --tcp A.B.C.D[:PORT] --serial SN [--chunk BYTES] [--pause MS]\n"
    "              [--from A.B.C.D] FILE...\n"
    "      Transfers each FILE over its own TCP connection (default port 9393) as instrument\n"
    "      SN: HELLO, one LINE per line of the file (LF or CR LF), BYE. --chunk splits the\n"
    "      bytes into writes of at most BYTES, --pause waits MS milliseconds between writes.\n"
    "      --from connects from that local address (127.0.0.2 stands for a second host).\n"
    "      Every FILE is read before anything is sent.\n"
    "\n"
    "  orbsim send --serial-port PATH --serial SN [--timeout MS] FILE...\n"
    "      The same transfers over the serial port PATH (115200 8N1), one after the other. Each\n"
    "      line waits for the receiver's ACK, up to --timeout milliseconds (default 2000);\n"
    "      a NAK, any other byte or no answer ends the command.\n"
    "\n"
    "  orbsim boot --serial-port PATH --out FILE [--timeout MS] [--quiet MS]\n"
    "      Asks for a firmware update over PATH: BOOT, the start record, then one ACK per piece\n"
    "      of the image. --timeout (default 2000) limits the waits for the answer to BOOT and\n"
    "      the start record; --quiet MS of silence after an ACK (default 500) means the image\n"
    "      is complete. Writes the image without the start record to FILE, replacing it.\n"
    "\n"
    "  \"localhost\" may stand for 127.0.0.1. Exit status: 0 done, 1 failed, 2 bad arguments.\n";

namespace {

constexpr int kMaxMilliseconds = 3600 * 1000;

// One option of one command: its name and how its value lands in Options. `apply` returns an
// error text, empty when the value was taken.
struct OptionRule {
    std::string_view name;
    std::string (*apply)(std::string_view value, Options* options);
};

std::string Bad(std::string_view option, std::string_view value, std::string_view expected) {
    return std::string("bad ")
        .append(option)
        .append(" '")
        .append(value)
        .append("' (expected ")
        .append(expected)
        .append(")");
}

std::string ApplyHost(std::string_view value, Options* options) {
    return ParseIpv4Address(value, &options->target) ? "" : Bad("--host", value, "A.B.C.D");
}

std::string ApplyFrom(std::string_view value, Options* options) {
    platform::Ipv4Endpoint from;
    if (!ParseIpv4Address(value, &from)) {
        return Bad("--from", value, "A.B.C.D");
    }
    options->from = from;
    return "";
}

std::string ApplyPort(std::string_view value, Options* options) {
    return ParsePort(value, &options->target.port) ? "" : Bad("--port", value, "1-65535");
}

// A time of `least` to 3600000 milliseconds, for `option`.
std::string TakeMilliseconds(std::string_view option, std::string_view value, long long least,
                             int* into) {
    long long ms = 0;
    if (!ParseNumber(value, least, kMaxMilliseconds, &ms)) {
        return Bad(option, value, std::to_string(least) + "-3600000 milliseconds");
    }
    *into = static_cast<int>(ms);
    return "";
}

std::string ApplyTimeout(std::string_view value, Options* options) {
    // 0 would mean "wait forever" to the socket layer; a tool that never returns is no use.
    return TakeMilliseconds("--timeout", value, 1, &options->timeoutMs);
}

constexpr char kOneLink[] = "--serial-port and --tcp are mutually exclusive";

std::string ApplyQuiet(std::string_view value, Options* options) {
    return TakeMilliseconds("--quiet", value, 1, &options->quietMs);
}

std::string ApplySerialPort(std::string_view value, Options* options) {
    if (options->link == Link::Tcp) {
        return kOneLink;
    }
    if (value.empty()) {
        return Bad("--serial-port", value, "a device path");
    }
    options->link = Link::Serial;
    options->serialPort = value;
    return "";
}

std::string ApplyOut(std::string_view value, Options* options) {
    if (value.empty()) {
        return Bad("--out", value, "a file name");
    }
    options->outFile = value;
    return "";
}

std::string ApplyTcp(std::string_view value, Options* options) {
    if (options->link == Link::Serial) {
        return kOneLink;
    }
    if (!ParseHostAndPort(value, kReceiverPort, &options->target)) {
        return Bad("--tcp", value, "A.B.C.D or A.B.C.D:PORT with PORT 1-65535");
    }
    options->link = Link::Tcp;
    return "";
}

std::string ApplySerial(std::string_view value, Options* options) {
    // A line end or other control byte would split or corrupt the HELLO line itself.
    bool printable = !value.empty();
    for (const char c : value) {
        printable = printable && c >= 0x20 && c <= 0x7D;
    }
    if (!printable) {
        return Bad("--serial", value, "a non-empty serial of printable characters");
    }
    options->serial = value;
    return "";
}

std::string ApplyChunk(std::string_view value, Options* options) {
    long long bytes = 0;
    if (!ParseNumber(value, 1, 1LL << 30, &bytes)) {
        return Bad("--chunk", value, "1 or more bytes");
    }
    options->chunkBytes = static_cast<std::size_t>(bytes);
    return "";
}

std::string ApplyPause(std::string_view value, Options* options) {
    return TakeMilliseconds("--pause", value, 0, &options->pauseMs);
}

constexpr OptionRule kDiscoverRules[] = {
    {"--host", ApplyHost},
    {"--port", ApplyPort},
    {"--timeout", ApplyTimeout},
};

constexpr OptionRule kSendRules[] = {
    {"--tcp", ApplyTcp},       {"--serial-port", ApplySerialPort},
    {"--serial", ApplySerial}, {"--chunk", ApplyChunk},
    {"--pause", ApplyPause},   {"--timeout", ApplyTimeout},
    {"--from", ApplyFrom},
};

constexpr OptionRule kBootRules[] = {
    {"--serial-port", ApplySerialPort},
    {"--out", ApplyOut},
    {"--timeout", ApplyTimeout},
    {"--quiet", ApplyQuiet},
};

// Options of send that only one of the links has a use for. Refusing them on the other link
// beats ignoring them: whoever typed them expected them to do something.
struct LinkOnlyOption {
    std::string_view name;
    Link link;
    std::string_view linkOption;
};

constexpr LinkOnlyOption kLinkOnlyOptions[] = {
    {"--chunk", Link::Tcp, "--tcp"},
    {"--pause", Link::Tcp, "--tcp"},
    {"--from", Link::Tcp, "--tcp"},
    {"--timeout", Link::Serial, "--serial-port"},
};

template <std::size_t N>
const OptionRule* FindRule(const OptionRule (&rules)[N], std::string_view name) {
    for (const OptionRule& rule : rules) {
        if (rule.name == name) {
            return &rule;
        }
    }
    return nullptr;
}

// Parses what follows the command word: options (as "--name value" or "--name=value") and, after
// them or after "--", the operands. `given` collects the names of the options that were used.
template <std::size_t N>
std::string ParseOptions(const std::vector<std::string_view>& arguments, std::size_t next,
                         const OptionRule (&rules)[N], Options* options,
                         std::vector<std::string_view>* operands,
                         std::vector<std::string_view>* given = nullptr) {
    bool optionsEnded = false;
    for (; next < arguments.size(); ++next) {
        const std::string_view argument = arguments[next];
        const bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
        if (!isOption) {
            operands->push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options->command = Command::Help;
            return "";
        }
        const std::size_t equals = argument.find('=');
        const std::string_view name = argument.substr(0, equals);
        const OptionRule* rule = FindRule(rules, name);
        if (rule == nullptr) {
            return std::string("unknown option '").append(name).append("'");
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else if (next + 1 < arguments.size()) {
            value = arguments[++next];
        } else {
            return std::string("option ").append(name).append(" needs a value");
        }
        std::string error = rule->apply(value, options);
        if (!error.empty()) {
            return error;
        }
        if (given != nullptr) {
            given->push_back(rule->name);
        }
    }
    return "";
}

std::string ParseDiscover(const std::vector<std::string_view>& arguments, Options* options) {
    std::vector<std::string_view> operands;
    std::string error = ParseOptions(arguments, 1, kDiscoverRules, options, &operands);
    if (error.empty() && options->command == Command::Discover && !operands.empty()) {
        error = std::string("unexpected argument '").append(operands.front()).append("'");
    }
    return error;
}

std::string ParseSend(const std::vector<std::string_view>& arguments, Options* options) {
    std::vector<std::string_view> operands;
    std::vector<std::string_view> given;
    std::string error = ParseOptions(arguments, 1, kSendRules, options, &operands, &given);
    if (!error.empty() || options->command != Command::Send) {
        return error;
    }
    if (options->link == Link::None) {
        return "send needs --tcp A.B.C.D[:PORT] or --serial-port PATH";
    }
    for (const std::string_view name : given) {
        for (const LinkOnlyOption& only : kLinkOnlyOptions) {
            if (only.name == name && only.link != options->link) {
                return std::string("option ").append(name).append(" needs ").append(
                    only.linkOption);
            }
        }
    }
    if (options->serial.empty()) {
        return "send needs --serial SN";
    }
    if (operands.empty()) {
        return "send needs at least one FILE";
    }
    options->files.assign(operands.begin(), operands.end());
    return "";
}

std::string ParseBoot(const std::vector<std::string_view>& arguments, Options* options) {
    std::vector<std::string_view> operands;
    std::string error = ParseOptions(arguments, 1, kBootRules, options, &operands);
    if (!error.empty() || options->command != Command::Boot) {
        return error;
    }
    if (!operands.empty()) {
        return std::string("unexpected argument '").append(operands.front()).append("'");
    }
    if (options->serialPort.empty()) {
        return "boot needs --serial-port PATH";
    }
    if (options->outFile.empty()) {
        return "boot needs --out FILE";
    }
    return "";
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string_view>& arguments) {
    ParseResult result;
    Options& options = result.options;
    if (arguments.empty()) {
        result.error = "missing command";
        return result;
    }
    const std::string_view command = arguments.front();
    if (command == "--help" || command == "-h" || command == "help") {
        options.command = Command::Help;
    } else if (command == "--version") {
        options.command = Command::Version;
        if (arguments.size() > 1) {
            result.error = std::string("unexpected argument '").append(arguments[1]).append("'");
        }
    } else if (command == "discover") {
        options.command = Command::Discover;
        result.error = ParseDiscover(arguments, &options);
    } else if (command == "send") {
        options.command = Command::Send;
        result.error = ParseSend(arguments, &options);
    } else if (command == "boot") {
        options.command = Command::Boot;
        result.error = ParseBoot(arguments, &options);
    } else {
        result.error = std::string("unknown command '").append(command).append("'");
    }
    return result;
}

}  // namespace orbsim
