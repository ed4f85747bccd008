// The web page against someone who means it harm: hostile files in the Data folder, requests
// that cost, too many connections. Whatever is tried, the real orbtray must answer as it should,
// stay small, go on answering its user, and take the next instrument's transfer. (What each bad
// request is answered, word for word, is WebTest's.)

#include <fcntl.h>
#include <stdio.h>
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
#else
constexpr long kPeakMemoryKb = 160 * 1024;
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
             const auto until = std::chrono::steady_clock::now() + 3s;
             while (std::chrono::steady_clock::now() < until) {
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
