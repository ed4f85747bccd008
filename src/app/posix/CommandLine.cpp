#include "app/posix/CommandLine.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <string_view>

#include "cli/ParseArguments.h"
#include "web/WebAddress.h"

namespace {

// CLI11 reports a refusal as "--name: " and the text.
const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? "must not be empty" : std::string(); },
    "", "not empty");

const CLI::Validator kWebAddress(
    [](const std::string& value) {
        return value == "off" || ParseWebAddress(value)
                   ? std::string()
                   : "bad value '" + value +
                         "' (expected ADDR:PORT (ADDR an IPv4 address, localhost, a host name "
                         "or [IPv6]; PORT 1-65535) or off)";
    },
    "", "web address");

const CLI::Validator kHostName(
    [](const std::string& value) {
        return IsHostName(value) ? std::string()
                                 : "bad value '" + value + "' (expected a host name)";
    },
    "", "host name");

CLI::Option* AddOutbox(CLI::App* command, CommandLine* line) {
    return command
        ->add_option("--outbox", line->outbox,
                     "where files waiting to be handed on are queued (default\n"
                     "$XDG_STATE_HOME/orbtray/outbox, or ~/.local/state/orbtray/outbox)")
        ->type_name("DIR")
        ->check(kNotEmpty);
}

void AddTargets(CLI::App* command, CommandLine* line) {
    command
        ->add_option("--forward-to", line->forwardTo,
                     "copy every received file to DIR/<serial>/<name>.csv; DIR itself is\n"
                     "never created (a missing DIR is a share not mounted)")
        ->type_name("DIR")
        ->check(kNotEmpty);
    command
        ->add_option("--on-file", line->onFile,
                     "run CMD (by /bin/sh -c) for every received file; it finds the file in\n"
                     "ORBTRAY_FILE, ORBTRAY_SERIAL, ORBTRAY_FOLDER, ORBTRAY_NAME, ORBTRAY_SIZE,\n"
                     "ORBTRAY_SHA256 and ORBTRAY_RECEIVED. Exit 0: delivered; 75: try again\n"
                     "later; anything else: failed")
        ->type_name("CMD")
        ->check(kNotEmpty);
}

CLI::Option* AddDataFolder(CLI::App* command, CommandLine* line) {
    return command
        ->add_option("--data-folder", line->dataFolder,
                     "where files are stored (default $XDG_DATA_HOME/Orbalinex/Data,\n"
                     "or ~/.local/share/Orbalinex/Data)")
        ->type_name("DIR")
        ->check(kNotEmpty);
}

// One value per occurrence: "--serial-port a b" must not swallow b.
CLI::Option* AddRepeatable(CLI::App* app, const std::string& name, std::vector<std::string>* into,
                           const std::string& valueName, const std::string& meaning) {
    return app->add_option(name, *into, meaning)
        ->type_name(valueName)
        ->allow_extra_args(false)
        ->check(kNotEmpty);
}

// The rules that tie options together, once CLI11 has taken each on its own; empty when they hold.
std::string CheckCombinations(const CLI::App& app, const CommandLine& line) {
    if (line.list) {
        // Listing reads the Data folder and nothing else.
        for (const CLI::Option* option : app.get_options()) {
            if (option->count() > 0 && option->get_name() != "--data-folder") {
                return "list takes no option '" + option->get_name() + "'";
            }
        }
        return "";
    }
    if (line.outboxCommand != CommandLine::OutboxCommand::None) {
        return "";
    }
    if (line.web == "off") {
        for (const char* option : {"--web-token", "--web-host"}) {
            if (app.count(option) > 0) {
                return std::string(option) + " has no use with --web off";
            }
        }
        return "";
    }
    // A page beyond loopback shows every reading to whoever reaches the port.
    const std::optional<WebAddress> web =
        ParseWebAddress(line.web.empty() ? kDefaultWebAddress : line.web);
    if (!IsLoopbackHost(web->host) && line.webTokenFile.empty()) {
        return "--web " + line.web + " is not a loopback address and needs --web-token FILE";
    }
    return "";
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    CLI::App app(
        "orbtray receives instrument readings over TCP and answers discovery probes over UDP,\n"
        "both on port N (default 9393), and from every CP210x USB serial bridge, and stores\n"
        "each transfer as DIR/<serial>/YYMMDD-HHMMSS.csv. A web page on 127.0.0.1:9394 shows\n"
        "the received files.",
        "orbtray");
    app.set_version_flag("--version", std::string("orbtray ") + ORBTRAY_VERSION);
    app.require_subcommand(0, 1);
    AddDataFolder(&app, &line);
    app.add_option("--firmware", line.firmwarePath,
                   "firmware image sent to instruments that ask for an update")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--port",
           [&line](const std::string& value) {
               const std::optional<std::uint16_t> port = ParsePortNumber(value);
               if (!port) {
                   throw CLI::ValidationError("--port",
                                              "bad value '" + value + "' (expected 1-65535)");
               }
               line.port = *port;
           },
           "TCP and UDP port, 1-65535 (default 9393)")
        ->type_name("N");
    AddRepeatable(&app, "--serial-port", &line.serialPorts, "PATH",
                  "also serve this serial port (any adapter, or a pty); repeatable");
    AddRepeatable(&app, "--ignore-port", &line.ignorePorts, "NAME",
                  "never open this serial port, named as in the log (ttyUSB0)\n"
                  "or by its path; repeatable");
    app.add_flag_callback(
        "--no-usb-scan", [&line] { line.usbScan = false; }, "do not look for CP210x bridges");
    app.add_option("--web", line.web,
                   "serve the web page on ADDR:PORT instead of 127.0.0.1:9394, or not at all;\n"
                   "beyond loopback it needs --web-token")
        ->type_name("ADDR:PORT|off")
        ->check(kWebAddress);
    app.add_option("--web-token", line.webTokenFile,
                   "the file holding the secret the web page asks for")
        ->type_name("FILE")
        ->check(kNotEmpty);
    AddRepeatable(&app, "--web-host", &line.webHosts, "NAME",
                  "a further name the web page answers to in Host; repeatable")
        ->check(kHostName);

    AddTargets(&app, &line);
    app.add_option("--on-file-timeout", line.onFileTimeout,
                   "seconds the --on-file command may run before it and everything it\n"
                   "started are stopped and the file is tried again later (default 600)")
        ->type_name("SECONDS")
        ->check(CLI::Range(1u, 86400u));
    AddOutbox(&app, &line);

    CLI::App* list = app.add_subcommand(
        "list",
        "Prints the files received so far, newest first, one per line: UTC time, serial\n"
        "number, file name and size, separated by tabs.");
    AddDataFolder(list, &line);

    CLI::App* outbox = app.add_subcommand(
        "outbox",
        "Prints the files waiting to be handed on and those that failed, one per line:\n"
        "state (waiting or failed), received time, serial number, file name, target,\n"
        "attempts, next try and last error, separated by tabs; times in UTC.");
    outbox->require_subcommand(0, 1);
    AddOutbox(outbox, &line);
    CLI::App* retry = outbox->add_subcommand(
        "retry",
        "Puts every failed file back to waiting; a running orbtray takes them up\n"
        "within a minute.");
    AddOutbox(retry, &line);
    CLI::App* add =
        outbox->add_subcommand("add", "Queues files received earlier for the targets given.");
    AddOutbox(add, &line);
    AddTargets(add, &line);
    add->add_option("FILE", line.addFiles, "a received file")->required()->check(kNotEmpty);

    const ParseOutcome outcome =
        ParseArguments(app, std::vector<std::string_view>(argv + 1, argv + argc));
    line.help = outcome.end == ParseEnd::Help;
    line.version = outcome.end == ParseEnd::Version;
    if (outcome.end == ParseEnd::Refused) {
        line.error = outcome.text;
    } else if (line.help || line.version) {
        line.output = outcome.text;
    } else {
        line.list = list->parsed();
        using Outbox = CommandLine::OutboxCommand;
        line.outboxCommand = add->parsed()      ? Outbox::Add
                             : retry->parsed()  ? Outbox::Retry
                             : outbox->parsed() ? Outbox::List
                                                : Outbox::None;
        line.error = CheckCombinations(app, line);
    }
    return line;
}
