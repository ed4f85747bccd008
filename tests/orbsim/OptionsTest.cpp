#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <string_view>
#include <vector>

#include "Endpoint.h"
#include "Options.h"

namespace {

using orbsim::Command;
using orbsim::Options;

// Split at blanks only, so that a tab can stand inside a word.
std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    for (const auto word : std::views::split(line, ' ')) {
        if (!word.empty()) {
            words.emplace_back(word.begin(), word.end());
        }
    }
    return words;
}

// What a command line turned into, in one comparable string: for help and version, the first
// line printed.
std::string Describe(const orbsim::ParseResult& result) {
    const Options& o = result.options;
    const std::string target = orbsim::FormatEndpoint(o.target);
    const std::string t = " t=" + std::to_string(o.timeoutMs);
    std::string text;
    switch (o.command) {
        case Command::Help:
        case Command::Version:
            return result.output.substr(0, result.output.find('\n'));
        case Command::Discover:
            return "discover " + target + t;
        case Command::Boot:
            return "boot " + o.serialPort + " out=" + o.outFile + t +
                   " quiet=" + std::to_string(o.quietMs);
        case Command::Send:
            text = o.link == orbsim::Link::Serial
                       ? "send over " + o.serialPort + t + " sn=" + o.serial
                       : "send " + target + " sn=" + o.serial +
                             " chunk=" + std::to_string(o.chunkBytes) +
                             " pause=" + std::to_string(o.pauseMs) +
                             (o.from ? " from=" + orbsim::FormatEndpoint(*o.from) : "");
            for (const std::string& file : o.files) {
                text += " " + file;
            }
    }
    return text;
}

// What each command line turns into, or why it is refused: the checks that keep a wrong command
// line from reaching an instrument or a receiver. The command lines the process-level tests use
// are accepted there.
TEST(Options, AcceptedAndRefusedCommandLines) {
    const std::string kPrintable = "' (expected a non-empty serial of printable characters)";
    const struct {
        const char* line;
        std::string seen;
    } cases[] = {
        // The help of the command asked about; all of it for `help`.
        {"send --tcp 1.2.3.4 --help",
         "Transfers each FILE as instrument SN: HELLO, one LINE per line of the file"},
        {"help", "orbsim: plays a hand-held instrument towards an OrbTray receiver."},
        {"discover --host 10.0.0.255", "discover 10.0.0.255:9393 t=2000"},
        {"send a.csv --serial 123 b.csv --tcp localhost:4000 --chunk 1 --pause 0",
         "send 127.0.0.1:4000 sn=123 chunk=1 pause=0 a.csv b.csv"},
        {"send --tcp=0.0.0.0:9 --serial=A-7} --chunk=4096 --pause=250 -- --odd.csv -",
         "send 0.0.0.0:9 sn=A-7} chunk=4096 pause=250 --odd.csv -"},
        {"send --tcp 127.0.0.1 --serial 1 --from 127.0.0.2 a",
         "send 127.0.0.1:9393 sn=1 chunk=0 pause=0 from=127.0.0.2:0 a"},
        {"send --serial 7 --timeout=1 a b --serial-port=COM3", "send over COM3 t=1 sn=7 a b"},
        {"boot --out=x --quiet 1 --timeout 3600000 --serial-port=\\\\.\\COM10",
         "boot \\\\.\\COM10 out=x t=3600000 quiet=1"},
        // Refused, and why.
        {"", "missing command: discover, send or boot"},
        {"upload x", "unexpected argument 'upload'"},
        {"discover --serial 1", "discover takes no option '--serial'"},
        {"discover 10.0.0.1", "discover takes no argument '10.0.0.1'"},
        {"discover --port 0", "--port: bad value '0' (expected 1-65535)"},
        {"discover --timeout 0", "--timeout: bad value '0' (expected 1-3600000 milliseconds)"},
        {"discover --host 1.2.3.256", "--host: bad value '1.2.3.256' (expected A.B.C.D)"},
        {"send --serial 1 a.csv", "send needs --tcp A.B.C.D[:PORT] or --serial-port PATH"},
        {"send --tcp 127.0.0.1 --serial-port p --serial 1 a", "--tcp excludes --serial-port"},
        {"send --serial-port p --serial 1 --chunk 4 a", "--chunk requires --tcp"},
        {"send --serial-port p --serial 1 --from 127.0.0.2 a", "--from requires --tcp"},
        {"send --tcp 127.0.0.1 --serial 1 --timeout 5 a", "--timeout requires --serial-port"},
        {"send --serial-port p a", "--serial is required"},
        {"send --serial-port p --serial 1", "FILE is required"},
        {"boot --serial-port p", "--out is required"},
        {"boot --out x --pause 1", "boot takes no option '--pause'"},
        {"send --tcp 127.0.0.1:0 --serial 1 a",
         "--tcp: bad value '127.0.0.1:0' (expected A.B.C.D or A.B.C.D:PORT with PORT 1-65535)"},
        // A line end or other control byte would break the HELLO line; '~' is past the range.
        {"send --tcp 127.0.0.1 --serial=a\tb x", "--serial: bad value 'a\tb" + kPrintable},
        {"send --tcp 127.0.0.1 --serial=a~ x", "--serial: bad value 'a~" + kPrintable},
        {"send --tcp 127.0.0.1 --serial 1 --chunk 0 x",
         "--chunk: bad value '0' (expected 1 or more bytes)"},
    };
    for (const auto& c : cases) {
        const orbsim::ParseResult result = orbsim::ParseCommandLine(Words(c.line));
        // A refusal prints nothing besides its error.
        EXPECT_EQ(result.error.empty() ? Describe(result) : result.error + result.output, c.seen)
            << c.line;
    }
}

}  // namespace
