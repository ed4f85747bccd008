#include "Options.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <utility>

#include "cli/ParseArguments.h"

namespace orbsim {

namespace {

constexpr int kMaxMilliseconds = 3600 * 1000;

// CLI11 reports this as "--name: bad value 'x' (expected ...)".
[[noreturn]] void Refuse(const std::string& option, const std::string& value,
                         const std::string& expected) {
    throw CLI::ValidationError(option, "bad value '" + value + "' (expected " + expected + ")");
}

// An option with one value that `take` checks (calling Refuse when it is bad) and stores.
CLI::Option* AddOption(CLI::App* command, const std::string& name, const std::string& valueName,
                       const std::string& meaning, std::function<void(const std::string&)> take) {
    return command->add_option_function<std::string>(name, std::move(take), meaning)
        ->type_name(valueName);
}

CLI::Option* AddMilliseconds(CLI::App* command, const std::string& name, long long least, int* into,
                             const std::string& meaning) {
    return AddOption(command, name, "MS", meaning, [=](const std::string& value) {
        long long ms = 0;
        if (!ParseNumber(value, least, kMaxMilliseconds, &ms)) {
            Refuse(name, value, std::to_string(least) + "-3600000 milliseconds");
        }
        *into = static_cast<int>(ms);
    });
}

CLI::Option* AddSerialPort(CLI::App* command, Options* options, const std::string& meaning) {
    return AddOption(command, "--serial-port", "PATH", meaning, [=](const std::string& value) {
        if (value.empty()) {
            Refuse("--serial-port", value, "a device path");
        }
        options->serialPort = value;
    });
}

// A time-out of 0 would mean "wait forever" to the socket layer; a tool that never returns is
// no use, so every time-out is at least 1 ms.
CLI::Option* AddTimeout(CLI::App* command, Options* options, const std::string& meaning) {
    return AddMilliseconds(command, "--timeout", 1, &options->timeoutMs, meaning);
}

void AddDiscover(CLI::App* app, Options* options) {
    CLI::App* discover = app->add_subcommand(
        "discover",
        "Sends the discovery probe (default to 127.0.0.1:9393) and prints the first valid reply;\n"
        "exit 1 without one.");
    AddOption(discover, "--host", "A.B.C.D", "where the probe goes (default 127.0.0.1)",
              [=](const std::string& value) {
                  if (!ParseIpv4Address(value, &options->target)) {
                      Refuse("--host", value, "A.B.C.D");
                  }
              });
    AddOption(discover, "--port", "N", "the receiver's port, 1-65535 (default 9393)",
              [=](const std::string& value) {
                  if (!ParsePort(value, &options->target.port)) {
                      Refuse("--port", value, "1-65535");
                  }
              });
    AddTimeout(discover, options, "how long to wait for a reply, 1-3600000 (default 2000)");
}

// Returns the two link options: send needs exactly one of them, which is checked once CLI11 is
// done, so that the error names both.
std::pair<CLI::Option*, CLI::Option*> AddSend(CLI::App* app, Options* options) {
    CLI::App* send = app->add_subcommand(
        "send",
        "Transfers each FILE as instrument SN: HELLO, one LINE per line of the file\n"
        "(LF or CR LF), BYE. Over TCP every FILE has a connection of its own; over a serial\n"
        "port (115200 8N1) the FILEs go one after the other and each line waits for the\n"
        "receiver's ACK: a NAK, any other byte or no answer ends the command. Every FILE is\n"
        "read before anything is sent.");
    CLI::Option* tcp = AddOption(
        send, "--tcp", "A.B.C.D[:PORT]", "send over TCP to this receiver (default port 9393)",
        [=](const std::string& value) {
            if (!ParseHostAndPort(value, kReceiverPort, &options->target)) {
                Refuse("--tcp", value, "A.B.C.D or A.B.C.D:PORT with PORT 1-65535");
            }
        });
    CLI::Option* serialPort = AddSerialPort(send, options, "send over this serial port");
    tcp->excludes(serialPort);
    AddOption(send, "--serial", "SN", "the instrument's serial number",
              [=](const std::string& value) {
                  // A line end or other control byte would split or corrupt the HELLO line itself.
                  bool printable = !value.empty();
                  for (const char c : value) {
                      printable = printable && c >= 0x20 && c <= 0x7D;
                  }
                  if (!printable) {
                      Refuse("--serial", value, "a non-empty serial of printable characters");
                  }
                  options->serial = value;
              })
        ->required();
    // Options that only one link has a use for are refused on the other: whoever typed them
    // expected them to do something.
    AddOption(send, "--chunk", "BYTES", "TCP: split the bytes into writes of at most BYTES",
              [=](const std::string& value) {
                  long long bytes = 0;
                  if (!ParseNumber(value, 1, 1LL << 30, &bytes)) {
                      Refuse("--chunk", value, "1 or more bytes");
                  }
                  options->chunkBytes = static_cast<std::size_t>(bytes);
              })
        ->needs(tcp);
    AddMilliseconds(send, "--pause", 0, &options->pauseMs,
                    "TCP: wait this long between writes, 0-3600000 (default 0)")
        ->needs(tcp);
    AddOption(send, "--from", "A.B.C.D",
              "TCP: connect from this local address (127.0.0.2 stands for a second host)",
              [=](const std::string& value) {
                  platform::Ipv4Endpoint from;
                  if (!ParseIpv4Address(value, &from)) {
                      Refuse("--from", value, "A.B.C.D");
                  }
                  options->from = from;
              })
        ->needs(tcp);
    AddTimeout(send, options, "serial: how long to wait for each ACK, 1-3600000 (default 2000)")
        ->needs(serialPort);
    send->add_option("FILE", options->files, "the files to send, in this order")->required();
    return {tcp, serialPort};
}

void AddBoot(CLI::App* app, Options* options) {
    CLI::App* boot = app->add_subcommand(
        "boot",
        "Asks for a firmware update over PATH: BOOT, the start record, then one ACK per piece of\n"
        "the image. Writes the image without the start record to FILE, replacing it.");
    AddSerialPort(boot, options, "the serial port the receiver serves")->required();
    AddOption(boot, "--out", "FILE", "where the image goes", [=](const std::string& value) {
        if (value.empty()) {
            Refuse("--out", value, "a file name");
        }
        options->outFile = value;
    })->required();
    AddTimeout(boot, options,
               "how long to wait for the answers to BOOT and to the start record,\n"
               "1-3600000 (default 2000)");
    AddMilliseconds(boot, "--quiet", 1, &options->quietMs,
                    "this much silence after an ACK means the image is complete,\n"
                    "1-3600000 (default 500)");
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string_view>& arguments) {
    ParseResult result;
    Options* options = &result.options;
    CLI::App app("orbsim: plays a hand-held instrument towards an OrbTray receiver.", "orbsim");
    app.footer(
        "\"localhost\" may stand for 127.0.0.1. Times are in milliseconds.\n"
        "Exit status: 0 done, 1 failed, 2 bad arguments.");
    app.set_version_flag("--version", std::string("orbsim ") + ORBTRAY_VERSION);
    // At most one command; none is refused below with a message that names them.
    app.require_subcommand(0, 1);
    AddDiscover(&app, options);
    const auto [tcp, serialPort] = AddSend(&app, options);
    AddBoot(&app, options);
    // `orbsim help` has always meant --help.
    app.add_subcommand("help")->group("");

    const ParseOutcome outcome = ParseArguments(app, arguments);
    switch (outcome.end) {
        case ParseEnd::Run:
            break;
        case ParseEnd::Help:
        case ParseEnd::Version:
            options->command = outcome.end == ParseEnd::Help ? Command::Help : Command::Version;
            result.output = outcome.text;
            return result;
        case ParseEnd::Refused:
            result.error = outcome.text;
            return result;
    }
    if (app.got_subcommand("help")) {
        // Not app.help(), which would describe the hidden command itself.
        options->command = Command::Help;
        result.output = app.get_formatter()->make_help(&app, "orbsim", CLI::AppFormatMode::All);
    } else if (app.got_subcommand("discover")) {
        options->command = Command::Discover;
    } else if (app.got_subcommand("boot")) {
        options->command = Command::Boot;
    } else if (!app.got_subcommand("send")) {
        result.error = "missing command: discover, send or boot";
    } else {
        options->command = Command::Send;
        options->link = tcp->count() > 0          ? Link::Tcp
                        : serialPort->count() > 0 ? Link::Serial
                                                  : Link::None;
        if (options->link == Link::None) {
            result.error = "send needs --tcp A.B.C.D[:PORT] or --serial-port PATH";
        }
    }
    return result;
}

}  // namespace orbsim
