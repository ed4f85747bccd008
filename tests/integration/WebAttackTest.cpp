// The web page against someone who means it harm: hostile files in the Data folder, requests
// that cost, too many connections. Whatever is tried, the real orbtray must answer as it should,
// stay small, go on answering its user, and take the next instrument's transfer. (What each bad
// request is answered, word for word, is WebTest's.)

#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "integration/Http.h"
#include "integration/OrbtrayProcess.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizers keep freed memory aside and shadow the rest: what is held says nothing there.
constexpr long kPeakMemoryKb = 0;
constexpr bool kSanitized = true;
#else
constexpr long kPeakMemoryKb = 160 * 1024;
constexpr bool kSanitized = false;
#endif

// A request of the page's own, or one with the headers given, answered within `limit`.
HttpReply Ask(std::uint16_t port, const std::string& target, const Lines& headers = {},
              std::chrono::milliseconds limit = 20s) {
    HttpRequest request(target);
    request.headers = headers;
    request.timeout = limit;
    return Http(port, request);
}

std::string Repeated(const std::string& piece, std::size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

// `count` connections, eight from each of 127.0.0.2 on, that each ask for `target` and never read
// a byte of their answers; returned once every answer has begun to arrive.
std::vector<platform::Socket> NeverReading(std::uint16_t port, const std::string& target,
                                           std::size_t count) {
    std::vector<platform::Socket> clients;
    for (std::size_t i = 0; i < count; ++i) {
        clients.push_back(ConnectWithRetry(port, {{{127, 0, 0, std::uint8_t(2 + i / 8)}, 0}}));
        Send(clients.back(),
             "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
    }
    for (platform::Socket& client : clients) {
        char byte;
        EXPECT_TRUE(WaitUntil(
            [&] {
                return ::recv(static_cast<int>(client.Value()), &byte, 1, MSG_PEEK | MSG_DONTWAIT) >
                       0;
            },
            60s));
    }
    return clients;
}

// Counts the times the folder itself is opened, as a listing of it does.
class OpenCounter {
public:
    explicit OpenCounter(const std::string& folder)
        : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ONLYDIR), 0);
    }
    ~OpenCounter() { ::close(fd_); }
    // The opens of the folder itself (not of what is in it) since the last call.
    std::size_t Take() {
        std::size_t opens = 0;
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                opens += event->len == 0 ? 1 : 0;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return opens;
    }

private:
    const int fd_;
};

class WebAttack : public OrbtrayTest {
protected:
    // What the user must still have after each attack: the page, small, and the receiver.
    void ExpectStillServing(const std::string& row) {
        const HttpReply list = Ask(webPort, "/api/files", credentials, 20s);
        EXPECT_EQ(list.status, 200) << row << ": the page no longer answers";
        if (kPeakMemoryKb > 0) {
            EXPECT_LT(orbtray->PeakMemoryKb(), kPeakMemoryKb) << row;
        }
        const std::string serial = "9" + std::to_string(++transfers);
        platform::Socket link = ConnectWithRetry(port);
        SendAndFinish(link, Conversation(serial, {"after," + row}));
        EXPECT_TRUE(Logged(" transfer complete", transfers)) << row;
        EXPECT_TRUE(WaitUntil([&] { return data.Files().size() > 0; }));
        bool found = false;
        for (const std::string& file : data.Files()) {
            found = found || (file.starts_with(serial + "/") &&
                              data.Read(file) == StoredFile({"after," + row}));
        }
        EXPECT_TRUE(found) << row << ": no transfer after the attack";
    }

    Lines credentials;  // what the user's browser sends besides the request
    std::size_t transfers = 0;
};

struct Attack {
    std::string name;
    std::function<void()> run;
};

TEST_F(WebAttack, HostileFilesAndRequestsCostLittleAndLeaveTheReceiverServing) {
    ScratchFolder outside;
    outside.Write("secret.csv", "outside\r\n");
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    const std::uint16_t web = webPort;

    const std::vector<Attack> attacks = {
        {"a first line of 2,045 numbers, plotted at 10,000 points",
         [&] {
             std::string text;
             for (int i = 0; i < 2045; ++i) {
                 text += (i ? "," : "") + std::to_string(i);
             }
             data.Write("7/wide.csv", text + "\r\n" + Repeated("1\r\n", 10'000));
             const HttpReply plot = Ask(web, "/api/plot?dir=7&name=wide.csv&points=10000");
             ASSERT_EQ(plot.status, 200);
             EXPECT_LT(plot.body.size(), 8u << 20);
             EXPECT_LE(json::parse(plot.body)["labels"].size(), 65u);
         }},
        {"24 MB of single-digit cells, 64 a line",
         [&] {
             if (kSanitized) {
                 // Each cell costs many times more there: the budget is a plain build's.
                 return;
             }
             const std::string line = Repeated("1,", 63) + "1\r\n";
             data.Write("7/ones.csv", Repeated(line, (24 << 20) / line.size()));
             // Cells cost however short they are: the plot reads as many as a fraction of a
             // second allows, and says so.
             const HttpReply plot = Ask(web, "/api/plot?dir=7&name=ones.csv&points=4000");
             ASSERT_EQ(plot.status, 200);
             const json answer = json::parse(plot.body);
             EXPECT_EQ(answer["partial"], true);
             EXPECT_LT(answer["lines"].get<std::size_t>(), (24u << 20) / line.size());
         }},
        {"a line of 4,089 commas",
         [&] {
             data.Write("7/commas.csv",
                        std::string(4089, ',') + "\r\n" + Repeated("1,2\r\n", 10'000));
             const HttpReply plot = Ask(web, "/api/plot?dir=7&name=commas.csv&points=10000");
             ASSERT_EQ(plot.status, 200);
             EXPECT_TRUE(json::parse(plot.body).contains("problem"));
         }},
        {"a file without line ends",
         [&] {
             data.Write("7/nul.csv", std::string(24 << 20, '\0'));
             for (const std::string route : {"/api/file", "/api/plot"}) {
                 const HttpReply reply = Ask(web, route + "?dir=7&name=nul.csv&count=1000");
                 EXPECT_EQ(reply.status, 422) << route;
                 EXPECT_LT(reply.body.size(), 4096u) << route;
                 ExpectGuarded(route, reply);
             }
         }},
        {"lines of 60,000 NULs, a thousand rows asked for",
         [&] {
             data.Write("7/long.csv", Repeated(std::string(60'000, '\0') + "\r\n", 200));
             const HttpReply table = Ask(web, "/api/file?dir=7&name=long.csv&count=1000");
             ASSERT_EQ(table.status, 200);
             EXPECT_LT(table.body.size(), 4u << 20);
             EXPECT_EQ(json::parse(table.body)["lines"], 200);
         }},
        {"a FIFO named like a received file",
         [&] {
             std::filesystem::create_directories(data.Path() + "7");
             ASSERT_EQ(::mkfifo((data.Path() + "7/fifo.csv").c_str(), 0600), 0);
             const HttpReply list = Ask(web, "/api/files", {}, 10s);
             ASSERT_EQ(list.status, 200);
             EXPECT_EQ(list.body.find("fifo.csv"), std::string::npos);
             for (const std::string route : {"/api/file", "/api/plot", "/download"}) {
                 EXPECT_EQ(Ask(web, route + "?dir=7&name=fifo.csv", {}, 10s).status, 404);
             }
         }},
        {"a serial folder swapped for a link to outside while it is read",
         [&] {
             data.Write("6/a.csv", "inside\r\n");
             outside.Write("a.csv", "outside\r\n");
             ASSERT_EQ(::symlink(outside.Path().c_str(), (data.Path() + "6-link").c_str()), 0);
             std::atomic<bool> done{false};
             std::thread swapper([&] {
                 const std::string real = data.Path() + "6", link = data.Path() + "6-link";
                 while (!done) {
                     ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
                 }
             });
             int served = 0;
             // Three seconds at least, and until one is served: a scan that finds the folder
             // swapped away lists nothing in it, and misses scan again once a second at most.
             const auto began = std::chrono::steady_clock::now();
             while (std::chrono::steady_clock::now() < began + 3s ||
                    (served == 0 && std::chrono::steady_clock::now() < began + 60s)) {
                 const HttpReply reply = Ask(web, "/download?dir=6&name=a.csv");
                 EXPECT_EQ(reply.body.find("outside"), std::string::npos);
                 served += reply.status == 200 ? 1 : 0;
             }
             done = true;
             swapper.join();
             if (std::filesystem::is_symlink(data.Path() + "6")) {
                 ::renameat2(AT_FDCWD, (data.Path() + "6").c_str(), AT_FDCWD,
                             (data.Path() + "6-link").c_str(), RENAME_EXCHANGE);
             }
             EXPECT_GT(served, 0);
         }},
        {"128 requests that never finish their heads, from one address and then eight more",
         [&] {
             // Each newcomer takes the place of the oldest from its address, then of the oldest
             // anywhere, and a complete request is answered at once.
             std::vector<platform::Socket> slow;
             for (std::size_t i = 0; i < 128; ++i) {
                 const platform::Ipv4Endpoint from{
                     {127, 0, 0, std::uint8_t(i < 64 ? 1 : 2 + (i - 64) / 8)}, 0};
                 slow.push_back(ConnectWithRetry(web, from));
                 Send(slow.back(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
             }
             const HttpReply reply = Ask(web, "/api/connections", {}, 5s);
             EXPECT_EQ(reply.status, 200) << "locked out by unfinished requests";
             std::size_t closed = 0;
             for (platform::Socket& each : slow) {
                 each.SetReceiveTimeout(10);
                 char byte;
                 const platform::IoResult read = each.Receive(&byte, 1);
                 closed += read.status == platform::IoStatus::Closed ||
                           (read.status == platform::IoStatus::Failed && read.error == ECONNRESET);
             }
             EXPECT_GE(closed, 128u - 63u);
         }},
        {"16 clients from two addresses that ask for a plot of 64 long columns and never read",
         [&] {
             std::string line;
             for (int i = 0; i < 64; ++i) {
                 line += (i ? "," : "") + std::string("-1.2345678901234567e-300");
             }
             data.Write("7/widest.csv", Repeated(line + "\r\n", 2000));
             const auto held = NeverReading(web, "/api/plot?dir=7&name=widest.csv&points=4000", 16);
             // Each answer is bounded and so are all those held: the rest wait their turn.
             const HttpReply plot = Ask(web, "/api/plot?dir=7&name=widest.csv&points=4000");
             EXPECT_TRUE(plot.status == 200 || plot.status == 503) << plot.status;
             EXPECT_LT(plot.body.size(), 2u << 20);
             EXPECT_EQ(Ask(web, "/api/connections").status, 200) << "locked out by readers";
         }},
        {"64 downloads from eight addresses that never read",
         [&] {
             data.Write("7/big.csv", Repeated(std::string(1023, '5') + "\n", 8 * 1024));
             const auto held = NeverReading(web, "/download?dir=7&name=big.csv", 64);
             // Every place is held by an answer that does not move: the oldest gives way.
             EXPECT_EQ(Ask(web, "/api/connections").status, 200) << "locked out by readers";
         }},
        {"a download of a file cut short on the way",
         [&] {
             data.Write("7/cut.csv", Repeated(std::string(1023, '6') + "\n", 32 * 1024));
             platform::Socket client = ConnectWithRetry(web);
             Send(client, "GET /download?dir=7&name=cut.csv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
             char buffer[65536];
             client.SetReceiveTimeout(20'000);
             ASSERT_EQ(client.Receive(buffer, sizeof buffer).status, platform::IoStatus::Ok);
             ASSERT_EQ(::truncate((data.Path() + "7/cut.csv").c_str(), 1000), 0);
             // The answer ends, short, instead of leaving the client waiting for the rest.
             std::size_t received = 0;
             platform::IoResult read{};
             while ((read = client.Receive(buffer, sizeof buffer)).status ==
                    platform::IoStatus::Ok) {
                 received += read.count;
             }
             EXPECT_TRUE(read.status == platform::IoStatus::Closed ||
                         (read.status == platform::IoStatus::Failed && read.error == ECONNRESET))
                 << "still waiting after " << received << " bytes";
             EXPECT_LT(received, 32u << 20);
         }},
        {"a client asking for missing names in a loop among 2,000 files",
         [&] {
             for (int i = 0; i < 2000; ++i) {
                 data.Write("8/" + std::to_string(100000 + i) + ".csv", "1\r\n");
             }
             ASSERT_EQ(Ask(web, "/api/files").status, 200);
             OpenCounter scans(data.Path());
             scans.Take();
             const auto began = std::chrono::steady_clock::now();
             std::size_t misses = 0;
             while (std::chrono::steady_clock::now() - began < 3s) {
                 const std::string name = "missing" + std::to_string(misses++) + ".csv";
                 EXPECT_EQ(Ask(web, "/download?dir=8&name=" + name).status, 404);
             }
             const double seconds =
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
             // A scan a second at most, however many misses: the page's thread stays free.
             EXPECT_LE(scans.Take(), static_cast<std::size_t>(seconds) + 2) << misses << " misses";
         }},
        {"64 event streams",
         [&] {
             std::vector<EventStream> streams;
             streams.reserve(64);
             int open = 0;
             for (int i = 0; i < 64; ++i) {
                 streams.emplace_back(web);
                 open += streams.back().Connected() ? 1 : 0;
             }
             // Those beyond the few a viewer needs are refused, and say why.
             EXPECT_EQ(open, 4);
             EXPECT_TRUE(streams.back().Received().ends_with("too many live views are open\n"))
                 << streams.back().Received();
             const HttpReply reply = Ask(web, "/api/connections", {}, 5s);
             EXPECT_EQ(reply.status, 200) << "locked out by event streams";
         }},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        attack.run();
        ExpectStillServing(attack.name);
    }
}

TEST_F(WebAttack, ConnectionChurnReachesViewersAFewTimesASecond) {
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    EventStream viewer(webPort);
    ASSERT_TRUE(viewer.Connected());
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        platform::Socket link = ConnectWithRetry(port);
        Send(link, "HELLO 5\r\n");
    }
    ASSERT_TRUE(viewer.WaitFor("{\"connections\":[]}", 30s)) << viewer.Received();
    std::this_thread::sleep_for(500ms);
    viewer.WaitFor("never sent", 100ms);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::size_t events = 0;
    for (std::size_t at = 0;
         (at = viewer.Received().find("event: connections", at)) != std::string::npos; ++at) {
        ++events;
    }
    EXPECT_GE(events, 1u);
    EXPECT_LE(events, static_cast<std::size_t>(seconds * 4) + 2) << seconds << " s";
    ExpectStillServing("churn");
}

}  // namespace
