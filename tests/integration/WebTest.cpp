// The web page as a browser meets it: the real orbtray over 127.0.0.1, asked with plain HTTP.
// The list must be `orbtray list`'s rows, files their exact bytes, and nothing outside what the
// list shows may ever be read through it.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "integration/Http.h"
#include "integration/OrbtrayProcess.h"

namespace {

using nlohmann::json;
constexpr auto npos = std::string::npos;

std::string FileQuery(const std::string& dir, const std::string& name) {
    return "dir=" + UrlEncoded(dir) + "&name=" + UrlEncoded(name);
}

// What the page shows for a name: invalid UTF-8 as U+FFFD.
std::string Shown(const std::string& raw) {
    return json::parse(json(raw).dump(-1, ' ', false, json::error_handler_t::replace))
        .get<std::string>();
}

class Web : public OrbtrayTest {
protected:
    json Json(const std::string& target) {
        HttpReply reply = Get(webPort, target);
        EXPECT_EQ(reply.status, 200) << target << ": " << reply.body;
        return reply.status == 200 ? json::parse(reply.body) : json();
    }
};

TEST_F(Web, ListsWhatOrbtrayListPrintsAndServesEachFilesExactBytes) {
    // Folders as the store encodes them (".." and "A/B"), a serial that is not UTF-8, a name in
    // upper case, and entries the scan must leave out.
    // Each with the name a download is saved as: plain ASCII, the serial's folder first.
    const std::vector<std::tuple<std::string, std::string, std::string>> listed = {
        {"12345", "251206-101500.csv", "12345_251206-101500.csv"},
        {"%2E%2E", "251206-101501.csv", "_2E_2E_251206-101501.csv"},
        {"A%2FB", "251206-101502.CSV", "A_2FB_251206-101502.CSV"},
        {"\xff\xfe", "251206-101503.csv", "___251206-101503.csv"},
        {".hidden", "251206-101504.csv", ".hidden_251206-101504.csv"}};
    int age = 10;
    for (const auto& [dir, name, saved] : listed) {
        data.Write(dir + "/" + name, "2025-12-14T01:02:03.450," + dir + ",20.5,mm\r\n3,\"q\"\r\n");
        std::filesystem::last_write_time(
            data.Path() + dir + "/" + name,
            std::filesystem::file_time_type::clock::now() - std::chrono::seconds(age += 60));
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
        const auto& [dir, name, saved] = listed[i];
        EXPECT_EQ(row["dir"], Shown(dir));

        HttpReply download = Get(webPort, "/download?" + FileQuery(row["dir"], name));
        EXPECT_EQ(download.status, 200) << dir;
        EXPECT_EQ(download.body, data.Read(dir + "/" + name)) << dir;
        EXPECT_EQ(download.headers["content-type"], "text/csv");
        EXPECT_EQ(download.headers["content-disposition"],
                  "attachment; filename=\"" + saved + "\"");
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
    ASSERT_EQ(
        ::link((outside.Path() + "secret.csv").c_str(), (data.Path() + "12345/hard.csv").c_str()),
        0);
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    // Only the two plain files are listed.
    EXPECT_EQ(Json("/api/files")["files"].size(), 2u);

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
        "dir=12345&name=hard.csv",        // a second name of a file outside it
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

// One request of each kind through the real server, serving an address given by name; the whole
// tables of Host, method and site decisions are unit/AdmissionTest's. (A web address that cannot be
// served ends orbtray: ReceiverTest.)
TEST_F(Web, AnswersOnlyItsOwnHostNamesAndOnlyReads) {
    ASSERT_NO_FATAL_FAILURE(StartWeb({"--web-host", "orbtray.lan"}, "localhost"));
    const std::string suffix = ":" + std::to_string(webPort);
    const auto ask = [&](const std::string& target, const std::string& host,
                         const std::string& header) {
        HttpRequest request(target);
        request.host = host;
        if (!header.empty()) {
            request.headers = {header};
        }
        return Http(webPort, request);
    };
    EXPECT_EQ(ask("/api/files", "orbtray.lan" + suffix, "").status, 200);
    // Nothing is handed on: the page has no hand-off to show.
    EXPECT_EQ(ask("/api/outbox", "orbtray.lan" + suffix, "").body, "{\"forwarding\":false}");
    const HttpReply stranger = ask("/api/files", "evil.example" + suffix, "");
    EXPECT_EQ(stranger.status, 421);
    EXPECT_EQ(stranger.body, "unknown host\n");
    HttpRequest noHost("/api/files");
    noHost.sendHost = false;
    EXPECT_EQ(Http(webPort, noHost).status, 421);

    HttpRequest post("/api/files", "POST");
    post.headers = {"Content-Length: 3", ""};
    HttpReply written = Http(webPort, post);
    EXPECT_EQ(written.status, 405);
    EXPECT_EQ(written.headers["allow"], "GET, HEAD");

    // Another site's page may link to the page but not make the browser read its data.
    EXPECT_EQ(ask("/api/files", "", "Origin: http://127.0.0.1" + suffix).status, 200);
    const HttpReply crossSite = ask("/api/plot?dir=1&name=2.csv", "", "Sec-Fetch-Site: cross-site");
    EXPECT_EQ(crossSite.status, 403);
    EXPECT_EQ(crossSite.body, "requests from other sites are refused\n");

    HttpReply head = Http(webPort, HttpRequest("/dygraph.min.css", "HEAD"));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(head.headers["content-type"], "text/css; charset=utf-8");
    EXPECT_NE(head.headers["content-length"], "0");
}

TEST_F(Web, AsksForTheTokenAndKeepsItInACookie) {
    ScratchFolder secrets;
    // Refused before anything is served: files that are not a plain private file, and tokens
    // a cookie cannot carry (each character: unit/AdmissionTest).
    const std::vector<std::pair<std::string, std::string>> refusedFiles = {
        {"open", " is open to other users: chmod 600 it"},
        {"empty", " holds no token"},
        {"semicolon",
         " holds characters a cookie cannot carry: use printable ASCII without "
         "blanks, ; , \" or \\"},
        {"large", " is larger than 4 KB"},
        {"fifo", " is not a regular file"},
        {"/dev/zero", " is not a regular file"},
    };
    secrets.Write("open", "s3cret\n");
    secrets.Write("empty", " \n");
    secrets.Write("semicolon", "s3c;ret\n");
    secrets.Write("large", std::string(5000, 'x'));
    ASSERT_EQ(::mkfifo((secrets.Path() + "fifo").c_str(), 0600), 0);
    for (const auto& [name, reason] : refusedFiles) {
        const std::string path = name.starts_with('/') ? name : secrets.Path() + name;
        if (name != "fifo" && path == secrets.Path() + name) {
            ::chmod(path.c_str(), name == "open" ? 0640 : 0600);
        }
        OrbtrayProcess refused(data.Path(), port, {},
                               {"--no-usb-scan", "--web", "127.0.0.1:" + std::to_string(webPort),
                                "--web-token", path});
        EXPECT_EQ(refused.Wait(), 2) << name;
        EXPECT_EQ(refused.Err(), Lines{"orbtray: the web token file " + path + reason});
    }

    secrets.Write("token", "s3cret-token\n");
    ::chmod((secrets.Path() + "token").c_str(), 0600);
    ASSERT_NO_FATAL_FAILURE(StartWeb({"--web-token", secrets.Path() + "token"}));

    HttpReply page = Get(webPort, "/");
    EXPECT_EQ(page.status, 401);
    EXPECT_NE(page.body.find("<form"), std::string::npos);
    EXPECT_EQ(page.body.find("<script"), std::string::npos);
    EXPECT_EQ(Get(webPort, "/api/files").status, 401);
    EXPECT_EQ(Get(webPort, "/?token=s3cret-token-").status, 401);
    // Without the token the connection is not kept, whatever the client asks for.
    const Exchanged refused = Exchange(webPort,
                                       "GET /api/files HTTP/1.1\r\nHost: localhost\r\n"
                                       "Connection: keep-alive\r\n\r\n",
                                       std::chrono::seconds(30));
    EXPECT_EQ(ParseReply(refused.bytes).status, 401);
    EXPECT_TRUE(refused.closed);

    // The token leads on to the page's own pages only (where each target leads, and which tokens
    // and cookies are taken: unit/AdmissionTest).
    HttpReply given = Get(webPort, "/file?dir=1%202&token=s3cret-token&name=a.csv");
    EXPECT_EQ(given.status, 303);
    EXPECT_EQ(given.headers["location"], "/file?dir=1%202&name=a.csv");
    const std::string cookie = "orbtray_token_" + std::to_string(webPort);
    EXPECT_EQ(given.headers["set-cookie"],
              cookie + "=s3cret-token; HttpOnly; SameSite=Strict; Path=/");

    const std::vector<std::pair<std::string, int>> cookies = {
        {"Cookie: other=1; " + cookie + "=s3cret-token", 200},
        {"Cookie: " + cookie + "=s3cret", 401},
        // Another receiver's on the same host.
        {"Cookie: orbtray_token_1=s3cret-token", 401},
    };
    for (const auto& [header, status] : cookies) {
        HttpRequest request("/api/files");
        request.headers = {header};
        EXPECT_EQ(Http(webPort, request).status, status) << header;
    }
}

// The hand-off as the page shows it, while it happens: a folder that is down, with its reason and
// its files waiting, then, once it is there, every file handed on; a file its command refuses
// stays failed with the reason, whatever the folder does.
TEST_F(Web, ShowsTheHandOffAsItGoes) {
    ScratchFolder outbox;
    ScratchFolder target;
    const std::string share = target.Path() + "share";
    const std::string command = "test \"$ORBTRAY_SERIAL\" != bad";
    ASSERT_NO_FATAL_FAILURE(
        StartWeb({"--outbox", outbox.Path(), "--forward-to", share, "--on-file", command}));
    std::size_t sent = 0;
    for (const std::string serial : {"7", "bad", "7"}) {
        platform::Socket link = ConnectWithRetry(port);
        SendAndFinish(link, Conversation(serial, {"1,2"}));
        ASSERT_TRUE(Said("File Received", ++sent));
    }
    ASSERT_TRUE(Logged("Forwarding to " + share + " failed: "));
    const std::vector<std::string> told = orbtray->Err();
    const std::string& downLine = *std::ranges::find_if(
        told, [&](const std::string& line) { return line.find(share + " failed: ") != npos; });
    const std::string reason = downLine.substr(downLine.find(" failed: ") + 9);
    const auto states = [&] {
        std::map<std::string, std::string> byFile;  // "serial/name": state
        const json files = Json("/api/files");
        for (const json& row : files["files"]) {
            byFile[row["serial"].get<std::string>() + "/" + row["name"].get<std::string>()] =
                row.value("handoff", "");
        }
        return byFile;
    };
    const auto shown = [&](const std::string& seven) {
        std::map<std::string, std::string> byFile = states();
        return byFile.size() == 3 && std::ranges::all_of(byFile, [&](const auto& file) {
                   return file.second == (file.first.starts_with("bad/") ? "failed" : seven);
               });
    };

    json status = Json("/api/outbox");
    ASSERT_TRUE(WaitUntil(
        [&] {
            status = Json("/api/outbox");
            return status["waiting"] == 3 && status["failedCount"] == 1 && shown("waiting");
        },
        std::chrono::seconds(30)))
        << status.dump() << ::testing::PrintToString(states());
    EXPECT_EQ(status["down"], json::array({share + ": " + reason}));
    // Only the command has had files yet.
    EXPECT_TRUE(status["lastDelivered"].get<std::string>().starts_with("7/")) << status.dump();
    ASSERT_EQ(status["failed"].size(), 1u);
    const json& failed = status["failed"][0];
    EXPECT_EQ(failed["serial"], "bad");
    EXPECT_EQ(failed["dir"], "bad");
    EXPECT_EQ(states().count("bad/" + failed["name"].get<std::string>()), 1u);
    EXPECT_EQ(failed["target"], command);
    EXPECT_EQ(failed["attempts"], 1);
    EXPECT_EQ(failed["error"], "exit status 1");

    // Once the share is there, its oldest file finds it at the next try (5, 10, 20 s... apart).
    ASSERT_TRUE(std::filesystem::create_directory(share));
    ASSERT_TRUE(WaitUntil(
        [&] {
            status = Json("/api/outbox");
            return status["waiting"] == 0 && shown("handed on");
        },
        std::chrono::seconds(90)))
        << status.dump() << ::testing::PrintToString(states());
    EXPECT_EQ(status["down"], json::array());
    EXPECT_EQ(status["failedCount"], 1);
    EXPECT_EQ(status["lastDelivery"].get<std::string>().size(), 19u) << status.dump();
    EXPECT_EQ(states().count(status["lastDelivered"].get<std::string>()), 1u) << status.dump();

    // Read like every other route: never for another site's page.
    HttpRequest crossSite("/api/outbox");
    crossSite.headers = {"Sec-Fetch-Site: cross-site"};
    EXPECT_EQ(Http(webPort, crossSite).status, 403);
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

// A transfer as the page follows it while it arrives: its count grows on the list and at
// /api/live though the instrument pauses, its plot and rows are read from the file being written,
// and after BYE its link names the file received. A number the page never gave out names nothing,
// and text that is no number is refused.
TEST_F(Web, FollowsATransferAsItArrivesUntilItIsAFile) {
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    platform::Socket link = ConnectWithRetry(port);
    Send(link, "HELLO 77\r\n");
    std::string id;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const json list = Json("/api/connections")["connections"];
            if (list.size() != 1 || !list[0].contains("transfer")) {
                return false;
            }
            id = list[0]["id"].dump();
            return true;
        },
        std::chrono::seconds(30)));
    json live;
    const auto reaches = [&](std::size_t lines) {
        return WaitUntil(
            [&] {
                const HttpReply reply = Get(webPort, "/api/live?link=" + id);
                live = reply.status == 200 ? json::parse(reply.body) : json();
                return live.is_object() && live.value("lines", std::size_t{0}) == lines;
            },
            std::chrono::seconds(30));
    };
    std::vector<std::string> lines;
    for (int round = 0; round < 2; ++round) {
        std::string sent;
        for (int i = 0; i < 3; ++i) {
            const std::string n = std::to_string(lines.size());
            lines.push_back("2025-12-14T01:02:0" + n + "," + n + ".5");
            sent += "LINE " + lines.back() + "\r\n";
        }
        // Then the instrument falls quiet: what it sent is shown all the same.
        Send(link, sent);
        ASSERT_TRUE(reaches(lines.size())) << live.dump();
        EXPECT_EQ(live["state"], "receiving");
        EXPECT_EQ(live["serial"], "77");
        EXPECT_TRUE(live["rate"].is_number());
        const json listed = Json("/api/connections")["connections"];
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_EQ(listed[0]["id"].dump(), id);
        EXPECT_EQ(listed[0]["transfer"]["lines"], lines.size());
        const json plot = Json("/api/plot?link=" + id);
        ASSERT_EQ(plot["data"].size(), lines.size()) << plot.dump();
        EXPECT_EQ(plot["data"].back()[1], double(lines.size() - 1) + 0.5);
        const json table = Json("/api/file?link=" + id);
        EXPECT_EQ(table["lines"], lines.size());
        EXPECT_EQ(table["rows"].back()[0], lines.back().substr(0, lines.back().find(',')));
    }

    Send(link, "BYE\r\n");
    ASSERT_TRUE(WaitUntil([&] { return Json("/api/live?link=" + id)["state"] == "received"; },
                          std::chrono::seconds(30)));
    const json files = Json("/api/files")["files"];
    ASSERT_EQ(files.size(), 1u);
    const json received{{"state", "received"}, {"dir", "77"}, {"name", files[0]["name"]}};
    EXPECT_EQ(Json("/api/live?link=" + id), received);
    EXPECT_EQ(data.Read("77/" + files[0]["name"].get<std::string>()), StoredFile(lines));
    // A page that asks by the link a moment late reads the file received.
    EXPECT_EQ(Json("/api/plot?link=" + id)["data"].size(), lines.size());
    // The page still finds where the transfer went once its link has closed.
    SendAndFinish(link, "");
    ASSERT_TRUE(WaitUntil([&] { return Json("/api/connections")["connections"].empty(); }));
    EXPECT_EQ(Json("/api/live?link=" + id), received);

    const std::string unknown = std::to_string(std::stoull(id) + 1000);
    const std::vector<std::pair<std::string, int>> asked = {
        {"/api/live?link=" + unknown, 404},
        {"/api/plot?link=" + unknown, 404},
        {"/api/file?link=" + unknown, 404},
        {"/api/live?link=0", 404},
        {"/api/live", 400},
        {"/api/live?link=", 400},
        {"/api/live?link=-1", 400},
        {"/api/live?link=%2B1", 400},
        {"/api/live?link=1.0", 400},
        {"/api/live?link=%201", 400},
        {"/api/live?link=18446744073709551616", 400},
        {"/api/plot?link=..%2F77%2F" + files[0]["name"].get<std::string>(), 400},
        {"/api/file?link=%2Fetc%2Fpasswd", 400},
    };
    for (const auto& [target, status] : asked) {
        EXPECT_EQ(Get(webPort, target).status, status) << target;
    }
}

TEST_F(Web, AnswersBadHeadsItselfWithTheHeadersOfItsOwn) {
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    const std::string host = "Host: 127.0.0.1:" + std::to_string(webPort) + "\r\n";
    std::string manyArguments;
    for (int i = 0; i < 2000; ++i) {
        manyArguments += "a&";
    }
    const std::vector<std::tuple<std::string, int, std::string>> heads = {
        {"GET /api/files HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nabcde", 413,
         "a request may not carry a body\n"},
        {"GET / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 413,
         "a request may not carry a body\n"},
        {"BREW / HTTP/1.1\r\n" + host + "\r\n", 405, "only GET and HEAD are served\n"},
        {"GET / HTTP/2.0\r\n" + host + "\r\n", 505, "only HTTP/1.0 and HTTP/1.1 are served\n"},
        {"GET /\r\n\r\n", 400, "the request is malformed\n"},
        {"GET / HTTP/1.1\r\n" + host + "Folded: a\r\n b\r\n\r\n", 400,
         "the request is malformed\n"},
        {"GET / HTTP/1.1\r\n" + host + "Spaced : a\r\n\r\n", 400, "the request is malformed\n"},
        {"GET http://127.0.0.1/ HTTP/1.1\r\n" + host + "\r\n", 400, "the request is malformed\n"},
        {"\x16\x03\x01\x02\x00\x01", 400, "the request is malformed\n"},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414,
         "the request line is too long\n"},
        {"GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a') + "\r\n\r\n", 431,
         "the request head is too large\n"},
        // A cookie the server cannot read, which a page on another port of the host can set.
        {"GET / HTTP/1.1\r\n" + host + "Cookie: a=\"\r\n\r\n", 400,
         "a cookie the browser keeps for this address is malformed; remove the address's "
         "cookies in the browser\n"},
        // More fields than the server has room to keep.
        {"GET /?" + manyArguments + " HTTP/1.1\r\n" + host + "\r\n", 431,
         "the request head has too many fields\n"},
        // The server's own answers close too: each request passes the gate. One answer, no
        // interim one before it.
        {"GET /api/nothing HTTP/1.1\r\n" + host + "\r\n", 404, "not found\n"},
        {"GET /api/nothing HTTP/1.1\r\n" + host + "Expect: 100-continue\r\n\r\n", 404,
         "not found\n"},
    };
    for (const auto& [bytes, status, body] : heads) {
        const Exchanged exchanged = Exchange(webPort, bytes, std::chrono::seconds(30));
        HttpReply answer = ParseReply(exchanged.bytes);
        const std::string shown = bytes.substr(0, 40);
        EXPECT_EQ(answer.status, status) << shown;
        EXPECT_EQ(answer.body, body) << shown;
        EXPECT_TRUE(exchanged.closed) << shown;
        ExpectGuarded(shown, answer);
        EXPECT_TRUE(answer.headers["content-type"].starts_with("text/plain")) << shown;
    }
}

// A file with a header, semicolons and decimal commas, as the plot and the table give it; its
// zoom and statistics; one that cannot be read confidently says why. How files are read:
// unit/ReadingsFormatTest; which points are kept: unit/PlotThinningTest.
TEST_F(Web, PlotsAndTablesAFileAsItIsWritten) {
    data.Write("7/251206-101500.csv",
               "Zeit;Temperatur [C];Druck_hPa;Status\r\n"
               "2026-12-07 11:00:00+01:00;20,5;1013,25;ok\r\n"
               "2026-12-07 11:00:01+01:00;21,0;1013,5;ok\r\n"
               "2026-12-07 11:00:02+01:00;19,75;1012;ok\r\n");
    data.Write("7/251206-101501.csv", "time,temp\r\n2026-12-07T10:00:00Z,20,5\r\n");
    ASSERT_NO_FATAL_FAILURE(StartWeb());
    const std::string file = "/api/plot?dir=7&name=251206-101500.csv&points=100";
    const double t0 = 1796637600000;  // 2026-12-07T10:00:00Z
    json expected = json::parse(R"j({
        "x": "time", "labels": ["Time (UTC)", "Temperatur", "Druck"],
        "series": [{"column": 2, "name": "Temperatur [C]", "label": "Temperatur", "unit": "C"},
                   {"column": 3, "name": "Druck_hPa", "label": "Druck", "unit": "hPa"}],
        "lines": 3, "header": true, "separator": ";", "decimalComma": true, "partial": false,
        "extent": [1796637600000, 1796637602000], "range": [1796637600000, 1796637602000],
        "data": [[1796637600000, 20.5, 1013.25], [1796637601000, 21, 1013.5],
                 [1796637602000, 19.75, 1012]]})j");
    expected["stats"] = {{{"min", 19.75}, {"max", 21.0}, {"mean", 61.25 / 3}, {"count", 3}},
                         {{"min", 1012.0}, {"max", 1013.5}, {"mean", 3038.75 / 3}, {"count", 3}}};
    EXPECT_EQ(Json(file), expected);

    const json zoomed =
        Json(file + "&from=" + std::to_string(t0 + 500) + "&to=" + std::to_string(t0 + 1500));
    EXPECT_EQ(zoomed["data"], json::parse("[[1796637601000, 21, 1013.5]]"));
    EXPECT_EQ(zoomed["range"], json::array({t0 + 500, t0 + 1500}));
    EXPECT_EQ(zoomed["stats"][1],
              json({{"min", 1013.5}, {"max", 1013.5}, {"mean", 1013.5}, {"count", 1}}));
    for (const std::string bad : {"&from=x", "&from=1&to=0", "&to=1e999"}) {
        EXPECT_EQ(Get(webPort, file + bad).status, 400) << bad;
    }

    const json table = Json("/api/file?dir=7&name=251206-101500.csv&offset=1&count=5");
    EXPECT_EQ(table["header"], json::parse(R"(["Zeit","Temperatur [C]","Druck_hPa","Status"])"));
    EXPECT_EQ(table["separator"], ";");
    EXPECT_EQ(table["lines"], 3);
    EXPECT_EQ(table["rows"], json::parse(R"([["2026-12-07 11:00:01+01:00","21,0","1013,5","ok"],
                                             ["2026-12-07 11:00:02+01:00","19,75","1012","ok"]])"));

    const json refused = Json("/api/plot?dir=7&name=251206-101501.csv");
    EXPECT_EQ(refused["problem"],
              "Its first line names 2 columns but its readings have 3 cells, so the columns "
              "cannot be matched to their names.");
    EXPECT_EQ(refused["series"], json::array());
    EXPECT_EQ(refused["data"], json::array());
}

// Read whole through the real server; which points the thinning keeps is unit/PlotThinningTest's.
TEST_F(Web, PlotsAMillionLinesWithinItsPointsKeepingAPeak) {
    std::string text;
    text.reserve(40'000'000);
    for (int i = 0; i < 1'000'000; ++i) {
        const int seconds = i % 86400;
        // A slow wave with a lone spike.
        const double value = i == 123'457 ? 5000.25 : double(i * 7919LL % 1000) / 10.0;
        char line[96];
        std::snprintf(line, sizeof line, "2025-12-%02dT%02d:%02d:%02d,SN,%g,%d,mm\r\n",
                      1 + i / 86400, seconds / 3600, seconds / 60 % 60, seconds % 60, value, i % 7);
        text += line;
    }
    data.Write("7/251206-101500.csv", text);
    ASSERT_NO_FATAL_FAILURE(StartWeb());

    const json plot = Json("/api/plot?dir=7&name=251206-101500.csv&points=1000");
    EXPECT_EQ(plot["x"], "time");
    EXPECT_EQ(plot["labels"], json::parse(R"j(["Time (UTC)","Column 3","Column 4"])j"));
    const json& rows = plot["data"];
    EXPECT_LE(rows.size(), 1000u);
    EXPECT_GE(rows.size(), 998u);
    EXPECT_EQ(rows.front()[0], 1764547200000.0);  // 2025-12-01T00:00:00Z
    EXPECT_TRUE(std::ranges::any_of(rows, [](const json& row) { return row[1] == 5000.25; }));
    // Zoomed to the spike's seconds: those readings, each as it is.
    const double spike = 1764547200000.0 + 123'457'000;
    const json zoomed = Json("/api/plot?dir=7&name=251206-101500.csv&points=1000&from=" +
                             std::to_string(spike - 2000) + "&to=" + std::to_string(spike + 2000));
    ASSERT_EQ(zoomed["data"].size(), 5u) << zoomed.dump();
    EXPECT_EQ(zoomed["data"][2], json::array({spike, 5000.25, 123'457 % 7}));
    EXPECT_EQ(zoomed["stats"][0]["max"], 5000.25);
    EXPECT_EQ(zoomed["stats"][0]["count"], 5);
    const json table = Json("/api/file?dir=7&name=251206-101500.csv&offset=999999&count=5000");
    EXPECT_EQ(table["lines"], 1'000'000);
    ASSERT_EQ(table["rows"].size(), 1u);
    EXPECT_EQ(table["rows"][0][0], "2025-12-12T13:46:39");
}

}  // namespace
