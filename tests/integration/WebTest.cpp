// The web page as a browser meets it: the real orbtray over 127.0.0.1, asked with plain HTTP.
// The list must be `orbtray list`'s rows, files their exact bytes, and nothing outside what the
// list shows may ever be read through it.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "integration/Http.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Lines = std::vector<std::string>;
using nlohmann::json;

std::string FileQuery(const std::string& dir, const std::string& name) {
    return "dir=" + UrlEncoded(dir) + "&name=" + UrlEncoded(name);
}

// What the page shows for a name: invalid UTF-8 as U+FFFD.
std::string Shown(const std::string& raw) {
    return json::parse(json(raw).dump(-1, ' ', false, json::error_handler_t::replace))
        .get<std::string>();
}

void SetAge(const std::string& path, int secondsAgo) {
    const auto when =
        std::filesystem::file_time_type::clock::now() - std::chrono::seconds(secondsAgo);
    std::filesystem::last_write_time(path, when);
}

class Web : public OrbtrayTest {
protected:
    void StartWeb(const Lines& more = {}) {
        Lines arguments{"--no-usb-scan", "--web", "127.0.0.1:" + std::to_string(webPort)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        ASSERT_NO_FATAL_FAILURE(Start({}, arguments));
        ASSERT_TRUE(Said("orbtray: web page at http://127.0.0.1:" + std::to_string(webPort) + "/"));
    }
    json Json(const std::string& target) {
        HttpReply reply = Get(webPort, target);
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        return reply.status == 200 ? json::parse(reply.body) : json();
    }

    std::uint16_t webPort = FreePort();
};

TEST_F(Web, ListsWhatOrbtrayListPrintsAndServesEachFilesExactBytes) {
    // Folders as the store encodes them (".." and "A/B"), a serial that is not UTF-8, a name in
    // upper case, and entries the scan must leave out.
    const std::vector<std::pair<std::string, std::string>> listed = {
        {"12345", "251206-101500.csv"},
        {"%2E%2E", "251206-101501.csv"},
        {"A%2FB", "251206-101502.CSV"},
        {"\xff\xfe", "251206-101503.csv"},
        {".hidden", "251206-101504.csv"}};
    int age = 10;
    for (const auto& [dir, name] : listed) {
        data.Write(dir + "/" + name, "2025-12-14T01:02:03.450," + dir + ",20.5,mm\r\n3,\"q\"\r\n");
        SetAge(data.Path() + dir + "/" + name, age += 60);
    }
    data.Write("12345/251206-101505.tmp", "partial");
    data.Write("loose.csv", "no serial");
    data.Write("12345/deeper/251206-101506.csv", "too deep");
    ASSERT_NO_FATAL_FAILURE(StartWeb());

    const Finished list = RunToEnd(kOrbtrayPath, {"list", "--data-folder", data.Path()});
    ASSERT_EQ(list.status, 0);
    const json files = Json("/api/files")["files"];
    ASSERT_EQ(files.size(), list.out.size()) << files.dump();
    ASSERT_EQ(files.size(), listed.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const json& row = files[i];
        EXPECT_EQ(row["time"].get<std::string>() + "\t" + row["serial"].get<std::string>() + "\t" +
                      row["name"].get<std::string>() + "\t" +
                      std::to_string(row["size"].get<int>()) + " bytes",
                  Shown(list.out[i]));
        // Newest first: the order they were written above.
        const auto& [dir, name] = listed[i];
        EXPECT_EQ(row["dir"], Shown(dir));

        HttpReply download = Get(webPort, "/download?" + FileQuery(row["dir"], name));
        EXPECT_EQ(download.status, 200) << dir;
        EXPECT_EQ(download.body, data.Read(dir + "/" + name)) << dir;
        EXPECT_EQ(download.headers["content-type"], "text/csv");
        EXPECT_EQ(download.headers["content-disposition"], "attachment; filename=\"" + name + "\"");
        EXPECT_EQ(download.headers["cache-control"], "no-store");
        EXPECT_EQ(download.headers["x-content-type-options"], "nosniff");

        const json table = Json("/api/file?" + FileQuery(row["dir"], name) + "&offset=1&count=5");
        EXPECT_EQ(table["lines"], 2);
        EXPECT_EQ(table["rows"], json::parse(R"([["3","\"q\""]])")) << dir;
    }
    EXPECT_EQ(Json("/api/files?serial=A%2F")["files"].size(), 1u);

    // The page's own files, and dygraphs as Debian ships it.
    std::ifstream dygraph("/usr/share/javascript/dygraphs/dygraph.min.js", std::ios::binary);
    HttpReply script = Get(webPort, "/dygraph.min.js");
    EXPECT_EQ(script.body, std::string(std::istreambuf_iterator<char>(dygraph), {}));
    EXPECT_EQ(script.headers["content-type"], "text/javascript; charset=utf-8");
    EXPECT_EQ(script.headers["cache-control"], "max-age=3600");
    EXPECT_NE(script.headers["content-security-policy"].find("script-src 'self'"),
              std::string::npos);
}

TEST_F(Web, NothingOutsideTheListIsServed) {
    data.Write("%2E%2E/251206-101500.csv", "encoded dots\r\n");
    data.Write("12345/251206-101500.csv", "inside\r\n");
    ScratchFolder outside;
    outside.Write("secret.csv", "outside\r\n");
    ASSERT_EQ(::symlink((outside.Path() + "secret.csv").c_str(),
                        (data.Path() + "12345/link.csv").c_str()),
              0);
    ASSERT_EQ(::symlink(outside.Path().c_str(), (data.Path() + "elsewhere").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartWeb());

    const Lines refused = {
        "dir=..&name=251206-101500.csv",      // the encoded folder's decoded name
        "dir=%2E%2E&name=251206-101500.csv",  // the same, as the URL spells it
        "dir=12345&name=..%2F12345%2F251206-101500.csv",
        "dir=12345%2F..&name=251206-101500.csv",
        "dir=12345%00&name=251206-101500.csv",
        "dir=12345&name=251206-101500.csv%00",
        "dir=12345&name=251206-101500.csv%00.csv",
        "dir=%2Fetc&name=passwd",
        "dir=" + UrlEncoded(outside.Path()) + "&name=secret.csv",
        "dir=12345&name=link.csv",        // a link out of the Data folder
        "dir=elsewhere&name=secret.csv",  // a folder link out of it
        "dir=12345&name=251206-101500.tmp",
        "dir=&name=251206-101500.csv",
    };
    for (const std::string target : {"/download?", "/api/file?", "/api/plot?"}) {
        for (const std::string& query : refused) {
            HttpReply reply = Get(webPort, target + query);
            EXPECT_EQ(reply.status, 404) << target << query << ": " << reply.body;
            EXPECT_EQ(reply.body.find("outside"), std::string::npos);
        }
    }
    for (const std::string path : {"/..%2F..%2Fetc%2Fpasswd", "/%2E%2E/", "/assets/app.js",
                                   "/api/files/..", "/download/12345/251206-101500.csv"}) {
        EXPECT_EQ(Get(webPort, path).status, 404) << path;
    }
    EXPECT_EQ(Get(webPort, "/download?dir=12345").status, 400);
    EXPECT_EQ(Get(webPort, "/api/file?dir=12345&name=251206-101500.csv&offset=x").status, 400);
    // What is listed is served, encoded folder included.
    EXPECT_EQ(Get(webPort, "/download?dir=%252E%252E&name=251206-101500.csv").body,
              "encoded dots\r\n");
    EXPECT_EQ(Get(webPort, "/download?dir=12345&name=251206-101500.csv").body, "inside\r\n");
}

TEST_F(Web, AnswersOnlyItsOwnHostNamesAndOnlyReads) {
    ASSERT_NO_FATAL_FAILURE(StartWeb({"--web-host", "orbtray.lan"}));
    const std::string suffix = ":" + std::to_string(webPort);
    const std::vector<std::pair<std::string, int>> hosts = {
        {"127.0.0.1" + suffix, 200},     {"127.0.0.1", 200},
        {"localhost" + suffix, 200},     {"LocalHost", 200},
        {"orbtray.lan" + suffix, 200},   {"evil.example", 421},
        {"evil.example" + suffix, 421},  {"127.0.0.1:1", 421},
        {"localhost.evil.example", 421},
    };
    for (const auto& [host, status] : hosts) {
        HttpRequest request("/api/files");
        request.host = host;
        HttpReply reply = Http(webPort, request);
        EXPECT_EQ(reply.status, status) << host;
        if (status != 200) {
            EXPECT_EQ(reply.body, "unknown host\n");
        }
    }
    HttpRequest noHost("/api/files");
    noHost.sendHost = false;
    EXPECT_EQ(Http(webPort, noHost).status, 421);

    for (const std::string method : {"POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
        HttpRequest request("/api/files", method);
        request.headers = {"Content-Length: 3", ""};
        HttpReply reply = Http(webPort, request);
        EXPECT_EQ(reply.status, 405) << method;
        EXPECT_EQ(reply.headers["allow"], "GET, HEAD");
    }
    HttpReply head = Http(webPort, HttpRequest("/dygraph.min.css", "HEAD"));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.headers["content-type"], "text/css; charset=utf-8");
    EXPECT_NE(head.headers["content-length"], "0");
}

TEST_F(Web, AsksForTheTokenAndKeepsItInACookie) {
    ScratchFolder secrets;
    secrets.Write("token", "s3cret-token\n");
    ASSERT_NO_FATAL_FAILURE(StartWeb({"--web-token", secrets.Path() + "token"}));

    HttpReply page = Get(webPort, "/");
    EXPECT_EQ(page.status, 401);
    EXPECT_NE(page.body.find("<form"), std::string::npos);
    EXPECT_EQ(page.body.find("<script"), std::string::npos);
    EXPECT_EQ(Get(webPort, "/api/files").status, 401);
    EXPECT_EQ(Get(webPort, "/dygraph.min.js").status, 401);
    EXPECT_EQ(Get(webPort, "/?token=wrong").status, 401);
    EXPECT_EQ(Get(webPort, "/?token=s3cret-token-").status, 401);

    HttpReply given = Get(webPort, "/file?dir=1%202&token=s3cret-token&name=a.csv");
    EXPECT_EQ(given.status, 303);
    EXPECT_EQ(given.headers["location"], "/file?dir=1%202&name=a.csv");
    EXPECT_EQ(given.headers["set-cookie"],
              "orbtray_token=s3cret-token; HttpOnly; SameSite=Strict; Path=/");

    const std::vector<std::pair<std::string, int>> cookies = {
        {"Cookie: orbtray_token=s3cret-token", 200},
        {"Cookie: other=1; orbtray_token=s3cret-token", 200},
        {"Cookie: orbtray_token=s3cret", 401},
        {"Cookie: orbtray_token=", 401},
    };
    for (const auto& [cookie, status] : cookies) {
        HttpRequest request("/api/files");
        request.headers = {cookie};
        EXPECT_EQ(Http(webPort, request).status, status) << cookie;
    }
}

TEST_F(Web, ServesWhereToldOrEndsSayingWhy) {
    // An address the user gave that cannot be served ends orbtray, saying why.
    platform::Socket taken = platform::Socket::ListenTcp(webPort);
    ASSERT_TRUE(taken.IsValid());
    {
        ScratchFolder scratch;
        OrbtrayProcess refused(scratch.Path() + "Data/", port, {},
                               {"--no-usb-scan", "--web", "127.0.0.1:" + std::to_string(webPort)});
        EXPECT_EQ(refused.Wait(), 1);
        EXPECT_EQ(refused.Err(), Lines{"orbtray: cannot serve the web page on 127.0.0.1:" +
                                       std::to_string(webPort) + ": address in use"});
        // Like a receiving port that is taken, before anything is made in the Data folder.
        EXPECT_EQ(scratch.Files(true), Lines{});
    }

    taken.Close();
    const std::string where = "localhost:" + std::to_string(webPort);
    ASSERT_NO_FATAL_FAILURE(Start({}, {"--no-usb-scan", "--web", where}));
    ASSERT_TRUE(Said("orbtray: web page at http://" + where + "/"));
    EXPECT_EQ(Get(webPort, "/api/connections").body, "{\"connections\":[]}");
}

TEST_F(Web, SendsNewFilesAndConnectionsLiveEvenPastAViewerThatNeverReads) {
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    // Opened first and never read from.
    platform::Socket stalled = ConnectWithRetry(webPort);
    Send(stalled,
         "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(webPort) + "\r\n\r\n");
    EventStream viewer(webPort);
    ASSERT_TRUE(viewer.Connected()) << viewer.Received();

    platform::Socket link = ConnectWithRetry(port);
    Send(link, "HELLO 42\r\n");
    ASSERT_TRUE(viewer.WaitFor(R"("kind":"tcp","name":"S)", std::chrono::seconds(10)));
    ASSERT_TRUE(viewer.WaitFor(R"("serial":"42")", std::chrono::seconds(10))) << viewer.Received();
    const json connections = Json("/api/connections")["connections"];
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0]["peer"], "127.0.0.1");
    EXPECT_EQ(connections[0]["serial"], "42");

    SendAndFinish(link, "LINE x\r\nBYE\r\n");
    ASSERT_TRUE(Logged(" terminated"));
    // One transfer per connection, as instruments do.
    for (int i = 0; i < 20; ++i) {
        platform::Socket next = ConnectWithRetry(port);
        SendAndFinish(next, Conversation("42", {std::to_string(i) + ",1"}));
        // (Its other lines, twenty connections a second from one address, may be held back.)
        ASSERT_TRUE(Logged(" transfer complete", std::size_t(i) + 2));
    }
    // Every file the list shows came as an event, with the same row.
    const json files = Json("/api/files")["files"];
    ASSERT_EQ(files.size(), 21u);
    for (const json& row : files) {
        EXPECT_TRUE(
            viewer.WaitFor("event: file\ndata: " + row.dump() + "\n\n", std::chrono::seconds(10)))
            << row.dump();
    }
    // A notice names the file as the list does; where the Data folder is stays off the page.
    EXPECT_TRUE(viewer.WaitFor("event: notice\ndata: {\"dir\":\"42\",\"name\":\"" +
                                   files[0]["name"].get<std::string>() + "\",",
                               std::chrono::seconds(10)))
        << viewer.Received();
    EXPECT_EQ(viewer.Received().find(data.Path()), std::string::npos);
    EXPECT_TRUE(viewer.WaitFor("{\"connections\":[]}", std::chrono::seconds(10)));
    EXPECT_EQ(Get(webPort, "/api/connections").body, "{\"connections\":[]}");
    // Streams still open, one of them stuck, do not keep orbtray from stopping in order.
    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(orbtray->Out().back(), "orbtray: stopped");
}

TEST_F(Web, HoldsConnectionsBeyondItsLimitUntilOthersClose) {
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    std::vector<EventStream> viewers;
    viewers.reserve(64);
    for (int i = 0; i < 64; ++i) {
        viewers.emplace_back(webPort);
        ASSERT_TRUE(viewers.back().Connected()) << i;
    }
    // The 65th waits, unanswered, and is answered once the others have hung up.
    platform::Socket extra = ConnectWithRetry(webPort);
    Send(extra, "GET /api/connections HTTP/1.0\r\nHost: localhost\r\n\r\n");
    extra.SetReceiveTimeout(500);
    char buffer[512];
    const platform::IoStatus waiting = extra.Receive(buffer, sizeof buffer).status;
    EXPECT_TRUE(waiting != platform::IoStatus::Ok && waiting != platform::IoStatus::Closed);
    viewers.clear();
    extra.SetReceiveTimeout(10000);
    std::string answer;
    for (platform::IoResult got; (got = extra.Receive(buffer, sizeof buffer)).count > 0;) {
        answer.append(buffer, got.count);
    }
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 200") || answer.starts_with("HTTP/1.1 200")) << answer;
    EXPECT_TRUE(answer.ends_with("{\"connections\":[]}")) << answer;
}

TEST_F(Web, PlotsAMillionLinesWithinItsPointsKeepingEveryPeak) {
    std::string text;
    text.reserve(40'000'000);
    double low = 1e9, high = -1e9;
    for (int i = 0; i < 1'000'000; ++i) {
        const int seconds = i % 86400;
        // A slow wave with two lone spikes the thinning must keep.
        double value = static_cast<double>(i * 7919LL % 1000) / 10.0;
        if (i == 123'457)
            value = 5000.25;
        if (i == 876'543)
            value = -4000.5;
        low = std::min(low, value);
        high = std::max(high, value);
        char line[96];
        std::snprintf(line, sizeof line, "2025-12-%02dT%02d:%02d:%02d,SN,%g,%d,mm\r\n",
                      1 + i / 86400, seconds / 3600, seconds / 60 % 60, seconds % 60, value, i % 7);
        text += line;
    }
    data.Write("7/251206-101500.csv", text);
    ASSERT_NO_FATAL_FAILURE(StartWeb());

    for (const int points : {1000, 2001}) {
        const json plot =
            Json("/api/plot?dir=7&name=251206-101500.csv&points=" + std::to_string(points));
        EXPECT_EQ(plot["x"], "time");
        EXPECT_EQ(plot["labels"], json::parse(R"(["time","col3","col4"])"));
        const json& rows = plot["data"];
        EXPECT_LE(rows.size(), std::size_t(points));
        EXPECT_GE(rows.size(), std::size_t(points) - 2);
        double seenLow = 1e9, seenHigh = -1e9, lastX = 0;
        for (const json& row : rows) {
            EXPECT_GE(row[0].get<double>(), lastX);
            lastX = row[0];
            if (!row[1].is_null()) {
                seenLow = std::min(seenLow, row[1].get<double>());
                seenHigh = std::max(seenHigh, row[1].get<double>());
            }
        }
        EXPECT_EQ(seenLow, low);
        EXPECT_EQ(seenHigh, high);
        EXPECT_EQ(rows.front()[0], 1764547200000.0);  // 2025-12-01T00:00:00Z
    }
    const json table = Json("/api/file?dir=7&name=251206-101500.csv&offset=999999&count=5000");
    EXPECT_EQ(table["lines"], 1'000'000);
    ASSERT_EQ(table["rows"].size(), 1u);
    EXPECT_EQ(table["rows"][0][0], "2025-12-12T13:46:39");
}

}  // namespace
