// orbtray's command line as the receiver and the web page get it; that a refusal ends the
// process with status 2, and help and version on standard output, is shown with the real program
// (integration/ReceiverTest).

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/posix/CommandLine.h"

namespace {

// Split at blanks; '' stands for an empty argument.
CommandLine Parse(std::string_view line) {
    std::vector<std::string> words = {"orbtray"};
    for (std::size_t start = 0; start < line.size();) {
        const std::size_t end = std::min(line.find(' ', start), line.size());
        const std::string_view word = line.substr(start, end - start);
        if (!word.empty()) {
            words.emplace_back(word == "''" ? "" : word);
        }
        start = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ",") + item;
    }
    return "[" + text + "]";
}

// Every field that differs from its default, in one comparable string.
std::string Describe(const CommandLine& line) {
    std::string text = line.list ? "list" : "";
    const auto field = [&](const char* name, const std::string& value, const std::string& usual) {
        if (value != usual) {
            text += (text.empty() ? "" : " ") + std::string(name) + "=" + value;
        }
    };
    field("data", line.dataFolder, "");
    field("fw", line.firmwarePath, "");
    field("port", std::to_string(line.port), "9393");
    field("serial", Join(line.serialPorts), "[]");
    field("ignore", Join(line.ignorePorts), "[]");
    field("usb", line.usbScan ? "on" : "off", "on");
    field("web", line.web, "");
    field("token", line.webTokenFile, "");
    field("hosts", Join(line.webHosts), "[]");
    return text;
}

// Each line as the receiver gets it: the fields that differ from their defaults, or the refusal.
TEST(CommandLine, AcceptedAndRefusedLines) {
    const std::string kWebForm =
        "' (expected ADDR:PORT (ADDR an IPv4 address, localhost, a host name or [IPv6]; PORT "
        "1-65535) or off)";
    const struct {
        const char* line;
        std::string seen;
    } cases[] = {
        {"", ""},
        {"--data-folder d --firmware f.hex --port 19393 --serial-port /dev/ttyS1 "
         "--serial-port=/tmp/ttyA --ignore-port ttyUSB0 --ignore-port /dev/ttyUSB1 --no-usb-scan "
         "--web localhost:8080 --web-host pc.example --web-host=10.0.0.2",
         "data=d fw=f.hex port=19393 serial=[/dev/ttyS1,/tmp/ttyA] ignore=[ttyUSB0,/dev/ttyUSB1] "
         "usb=off web=localhost:8080 hosts=[pc.example,10.0.0.2]"},
        {"--port 65535 --web off", "port=65535 web=off"},
        // Loopback is all of 127.0.0.0/8, any case of localhost, and ::1: no token needed.
        {"--web 127.200.0.1:1", "web=127.200.0.1:1"},
        {"--web LocalHost:9394", "web=LocalHost:9394"},
        {"--web [::1]:9394", "web=[::1]:9394"},
        // Beyond loopback with a token.
        {"--web 0.0.0.0:9394 --web-token /etc/secret", "web=0.0.0.0:9394 token=/etc/secret"},
        {"--web pc-1.example:80 --web-token t", "web=pc-1.example:80 token=t"},
        {"list --data-folder d", "list data=d"},
        {"--data-folder d list", "list data=d"},
        // Refused, and why.
        {"--port 0", "--port: bad value '0' (expected 1-65535)"},
        {"--port 65536", "--port: bad value '65536' (expected 1-65535)"},
        {"--port 0x10", "--port: bad value '0x10' (expected 1-65535)"},
        {"--bogus", "unknown option '--bogus'"},
        {"start", "unexpected argument 'start'"},
        // One value per option: the second word is not a second port.
        {"--serial-port /dev/ttyS1 /dev/ttyS2", "unexpected argument '/dev/ttyS2'"},
        {"--data-folder ''", "--data-folder: must not be empty"},
        {"--ignore-port ''", "--ignore-port: must not be empty"},
        // Listing reads the Data folder and nothing else, wherever the other option stands.
        {"list --port 5", "list takes no option '--port'"},
        {"--no-usb-scan list", "list takes no option '--no-usb-scan'"},
        {"list now", "list takes no argument 'now'"},
        // A page beyond loopback needs its token (the addresses are only parsed, never used).
        {"--web 192.168.1.20:9394",
         "--web 192.168.1.20:9394 is not a loopback address and needs --web-token FILE"},
        {"--web 0.0.0.0:9394 --web-host pc",
         "--web 0.0.0.0:9394 is not a loopback address and needs --web-token FILE"},
        {"--web 128.0.0.1:80",
         "--web 128.0.0.1:80 is not a loopback address and needs --web-token FILE"},
        {"--web localhost.example:80",
         "--web localhost.example:80 is not a loopback address and needs --web-token FILE"},
        {"--web off --web-token t", "--web-token has no use with --web off"},
        {"--web 127.0.0.1", "--web: bad value '127.0.0.1" + kWebForm},
        {"--web :9394", "--web: bad value ':9394" + kWebForm},
        {"--web 127.0.0.1:0", "--web: bad value '127.0.0.1:0" + kWebForm},
        {"--web 127.0.0.1:09394", "--web: bad value '127.0.0.1:09394" + kWebForm},
        {"--web 127.0.0.256:80", "--web: bad value '127.0.0.256:80" + kWebForm},
        {"--web 10.1:80", "--web: bad value '10.1:80" + kWebForm},
        {"--web ::1:80", "--web: bad value '::1:80" + kWebForm},
        {"--web host_name:80", "--web: bad value 'host_name:80" + kWebForm},
        {"--web -pc:80", "--web: bad value '-pc:80" + kWebForm},
        {"--web OFF", "--web: bad value 'OFF" + kWebForm},
        {"--web-host pc:9394", "--web-host: bad value 'pc:9394' (expected a host name)"},
    };
    for (const auto& c : cases) {
        const CommandLine line = Parse(c.line);
        EXPECT_EQ(line.error.empty() ? Describe(line) : line.error, c.seen) << c.line;
    }
}

TEST(CommandLine, HelpAndVersionAreOutputNotErrors) {
    const CommandLine help = Parse("--port 1 --help");
    EXPECT_TRUE(help.help && help.error.empty());
    // The options a user may not know from earlier versions are listed with their meaning.
    for (const char* option :
         {"--ignore-port NAME", "--web ADDR:PORT|off", "--web-token FILE", "--web-host NAME"}) {
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    }
    const CommandLine listHelp = Parse("list --help");
    EXPECT_NE(listHelp.output.find("Usage: orbtray list [OPTIONS]"), std::string::npos);
    EXPECT_EQ(listHelp.output.find("--port"), std::string::npos);
}

}  // namespace
