// The simulated station's own rules, spoken to in raw HTTP: sessions, the
// codes of bad requests, tasks on the simulated clock, per-task results,
// settings, folders, determinism and a clean stop.
#include "sim_process.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <memory>
#include <set>

namespace {

const char boundary[] = "XyZBoundary";

rapidjson::Document parsed(const std::string &text)
{
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    return doc;
}

std::string entry(const std::string &query) { return "/webapi/entry.cgi?" + query; }

std::string task_cgi(const std::string &query) { return "/webapi/DownloadStation/task.cgi?" + query; }

// The session id of a fresh login as admin/admin.
std::string log_in(const sim_process &sim)
{
    const http_answer a = sim.get(entry("api=SYNO.API.Auth&version=3&method=login&account=admin&passwd=admin"
                                        "&session=DownloadStation&format=sid"));
    rapidjson::Document doc = parsed(a.body);
    if (!doc.IsObject() || !doc.HasMember("data")) return "";
    return doc["data"]["sid"].GetString();
}

std::string part(const std::string &name, const std::string &value)
{
    return std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
           value + "\r\n";
}

std::string file_part(const std::string &file_name, const std::string &content)
{
    return std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
           file_name + "\"\r\nContent-Type: application/x-bittorrent\r\n\r\n" + content + "\r\n";
}

std::string multipart_type() { return std::string("multipart/form-data; boundary=") + boundary; }

std::string closing() { return std::string("--") + boundary + "--\r\n"; }

class SimRules : public ::testing::Test {
protected:
    std::vector<std::unique_ptr<sim_process>> sims;

    // A station that must still be running at the end of the test and then
    // stop cleanly (a sanitizer's report would make its exit status non-zero).
    sim_process &start(const std::vector<std::string> &with)
    {
        sims.push_back(std::make_unique<sim_process>(with));
        return *sims.back();
    }

    void TearDown() override
    {
        for (auto &sim : sims) EXPECT_EQ(0, sim->stop(SIGTERM));
    }

    // A stopped clock at a known time, no failing tasks unless asked.
    static std::vector<std::string> options(std::vector<std::string> more = {})
    {
        std::vector<std::string> all = {"--speed", "0", "--seed", "7", "--epoch", "1700000000", "--error-rate", "0"};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }

    std::string create(const sim_process &sim, const std::string &sid, const std::string &uri)
    {
        return sim.post("/webapi/DownloadStation/task.cgi", "application/x-www-form-urlencoded",
                        "api=SYNO.DownloadStation.Task&version=1&method=create&uri=" + uri +
                            "&destination=downloads&_sid=" + sid)
            .body;
    }

    rapidjson::Document list(const sim_process &sim, const std::string &sid)
    {
        return parsed(sim.get(task_cgi("api=SYNO.DownloadStation.Task&version=1&method=list"
                                       "&additional=detail,transfer&_sid=" + sid)).body);
    }
};

TEST_F(SimRules, LoginGivesEachSessionItsOwnIds)
{
    sim_process &sim = start(options({"--user", "alice", "--password", "s3cret"}));
    ASSERT_NE(0, sim.port());
    const std::string login = entry("api=SYNO.API.Auth&version=3&method=login&session=DownloadStation&format=sid");
    const http_answer first = sim.get(login + "&account=alice&passwd=s3cret");
    const http_answer second = sim.get(login + "&account=alice&passwd=s3cret");
    EXPECT_EQ(200, first.status);
    EXPECT_EQ("application/json", first.content_type);
    std::set<std::string> ids;
    for (const http_answer *a : {&first, &second}) {
        rapidjson::Document doc = parsed(a->body);
        ASSERT_TRUE(doc.IsObject()) << a->body;
        ASSERT_TRUE(doc["success"].IsTrue()) << a->body;
        const std::string sid = doc["data"]["sid"].GetString();
        const std::string did = doc["data"]["did"].GetString();
        EXPECT_EQ(std::string::npos, sid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"));
        EXPECT_EQ(std::string::npos, did.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"));
        EXPECT_FALSE(sid.empty());
        EXPECT_FALSE(did.empty());
        ids.insert(sid);
        ids.insert(did);
    }
    EXPECT_EQ(4u, ids.size());
    EXPECT_EQ(R"({"success":false,"error":{"code":400}})", sim.get(login + "&account=alice&passwd=wrong").body);
    EXPECT_EQ(R"({"success":false,"error":{"code":400}})", sim.get(login + "&account=admin&passwd=admin").body);
    EXPECT_EQ(R"({"success":false,"error":{"code":101}})", sim.get(login + "&passwd=s3cret").body);
}

TEST_F(SimRules, SessionComesFromSidOrCookieAndEndsAtLogout)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string other = log_in(sim);
    const std::string info = "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo";
    const std::string ok = R"({"success":true,"data":{"is_manager":true,"version":3566,"version_string":"3.8.16-3566"}})";
    const std::string invalid = R"({"success":false,"error":{"code":119}})";
    EXPECT_EQ(ok, sim.get(info + "&_sid=" + sid).body);
    EXPECT_EQ(ok, http_exchange(sim.port(), "GET " + info + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                                            "Cookie: id=" + sid + "; did=whatever\r\n\r\n").body);
    EXPECT_EQ(invalid, sim.get(info + "&_sid=nosuchsession").body);
    EXPECT_EQ(invalid, sim.get(info).body);

    EXPECT_EQ(R"({"success":true})",
              sim.get(entry("api=SYNO.API.Auth&version=1&method=logout&session=DownloadStation&_sid=" + sid)).body);
    EXPECT_EQ(invalid, sim.get(info + "&_sid=" + sid).body);
    EXPECT_EQ(ok, sim.get(info + "&_sid=" + other).body);
}

TEST_F(SimRules, IdleSessionExpires)
{
    sim_process &sim = start(options({"--session-idle", "60"}));
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string stats = "/webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic&version=1"
                              "&method=getinfo&_sid=" + sid;
    const std::string quiet = R"({"success":true,"data":{"speed_download":0,"speed_upload":0}})";
    ASSERT_TRUE(sim.advance(60));
    EXPECT_EQ(quiet, sim.get(stats).body);  // idle exactly as long as allowed
    ASSERT_TRUE(sim.advance(61));
    EXPECT_EQ(R"({"success":false,"error":{"code":106}})", sim.get(stats).body);
    EXPECT_EQ(R"({"success":false,"error":{"code":106}})", sim.get(stats).body);
    EXPECT_FALSE(log_in(sim).empty());
}

TEST_F(SimRules, BadRequestsGetStationCodes)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string info = "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1";
    const std::string task = task_cgi("api=SYNO.DownloadStation.Task&version=1");
    const std::string files = entry("api=SYNO.FileStation.List&version=2");
    struct bad_case {
        const char *name;
        std::string target;
        int code;
    };
    const bad_case cases[] = {
        {"unknown path", "/webapi/nowhere.cgi?api=SYNO.API.Auth&version=3&method=login&account=admin", 102},
        {"no api", entry("version=1&method=getinfo&_sid=" + sid), 101},
        {"no version", entry("api=SYNO.DownloadStation.Info&method=getinfo&_sid=" + sid), 101},
        {"version not a number", entry("api=SYNO.DownloadStation.Info&version=x&method=getinfo&_sid=" + sid), 101},
        {"no method", entry("api=SYNO.DownloadStation.Info&version=1&_sid=" + sid), 101},
        {"unknown api", entry("api=SYNO.Nothing&version=1&method=getinfo&_sid=" + sid), 102},
        {"api at another's path", "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Task&version=1"
                                  "&method=list&_sid=" + sid, 102},
        {"unknown method", info + "&method=explode&_sid=" + sid, 103},
        {"version too new", entry("api=SYNO.DownloadStation.Info&version=9&method=getinfo&_sid=" + sid), 104},
        {"getinfo without id", task + "&method=getinfo&_sid=" + sid, 101},
        {"getinfo of an unknown id", task + "&method=getinfo&id=dbid_9&_sid=" + sid, 404},
        {"pause without id", task + "&method=pause&_sid=" + sid, 101},
        {"delete with a bad force", task + "&method=delete&id=dbid_1&force_complete=maybe&_sid=" + sid, 101},
        {"list with a bad offset", task + "&method=list&offset=x&_sid=" + sid, 101},
        {"create without uri", task + "&method=create&destination=downloads&_sid=" + sid, 101},
        {"create for another scheme", task + "&method=create&uri=gopher%3A%2F%2Fx%2Fy&_sid=" + sid, 101},
        {"create into no folder", task + "&method=create&uri=http%3A%2F%2Fx%2Fy&destination=nowhere&_sid=" + sid, 403},
        {"setserverconfig of nothing", info + "&method=setserverconfig&_sid=" + sid, 101},
        {"negative limit", info + "&method=setserverconfig&bt_max_download=-5&_sid=" + sid, 101},
        {"default destination missing", info + "&method=setserverconfig&default_destination=nowhere&_sid=" + sid, 403},
        {"list without folder", files + "&method=list&_sid=" + sid, 101},
        {"list of no folder", files + "&method=list&folder_path=%2Fnope&_sid=" + sid, 408},
        {"list of a file", files + "&method=list&folder_path=%2Fdownloads%2FREADME.txt&_sid=" + sid, 408},
        {"list with a bad filetype", files + "&method=list&folder_path=%2Fvideo&filetype=movies&_sid=" + sid, 101},
    };
    for (const bad_case &c : cases) {
        SCOPED_TRACE(c.name);
        const http_answer a = sim.get(c.target);
        EXPECT_EQ(R"({"success":false,"error":{"code":)" + std::to_string(c.code) + "}}", a.body);
        EXPECT_EQ("application/json", a.content_type);
    }
    const http_answer garbage = http_exchange(sim.port(), "BLAH\r\n\r\n");
    EXPECT_EQ(R"({"success":false,"error":{"code":101}})", garbage.body);
    // None of it changed anything, and the station still answers.
    EXPECT_EQ(R"({"success":true,"data":{"offset":0,"tasks":[],"total":0}})",
              sim.get(task + "&method=list&_sid=" + sid).body);
}

TEST_F(SimRules, MultipartCreateIsChecked)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string fields = part("api", "SYNO.DownloadStation.Task") + part("version", "1") +
                               part("method", "create") + part("destination", "video/new") + part("_sid", sid);
    auto post = [&](const std::string &body) {
        return sim.post("/webapi/DownloadStation/task.cgi", multipart_type(), body).body;
    };
    EXPECT_EQ(R"({"success":false,"error":{"code":101}})", post(fields + closing()));
    EXPECT_EQ(R"({"success":false,"error":{"code":400}})", post(fields + file_part("a.torrent", "") + closing()));
    EXPECT_EQ(R"({"success":false,"error":{"code":119}})",
              post(part("api", "SYNO.DownloadStation.Task") + part("version", "1") + part("method", "create") +
                   file_part("a.torrent", "d4:name1:xe") + closing()));
    EXPECT_EQ(R"({"success":true,"data":{"task_id":["dbid_1"]}})",
              post(fields + file_part("named.torrent", "d4:infod4:name9:demo.file6:lengthi5eee") + closing()));
    EXPECT_EQ(R"({"success":true,"data":{"task_id":["dbid_2"]}})",
              post(fields + file_part("Plain Name.torrent", "not bencode") + closing()));

    rapidjson::Document tasks = list(sim, sid);
    ASSERT_TRUE(tasks.IsObject());
    const auto &found = tasks["data"]["tasks"];
    ASSERT_EQ(2u, found.Size());
    EXPECT_STREQ("demo.file", found[0]["title"].GetString());
    EXPECT_STREQ("bt", found[0]["type"].GetString());
    EXPECT_STREQ("named.torrent", found[0]["additional"]["detail"]["uri"].GetString());
    EXPECT_STREQ("video/new", found[0]["additional"]["detail"]["destination"].GetString());
    EXPECT_STREQ("Plain Name", found[1]["title"].GetString());
}

TEST_F(SimRules, TasksLiveOnTheSimulatedClock)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    EXPECT_EQ(R"({"success":true,"data":{"task_id":["dbid_1"]}})",
              create(sim, sid, "https%3A%2F%2Fexample.org%2Ffiles%2Fbig%2520file.iso%3Fmirror%3D2"));

    const std::string plain = sim.get(task_cgi("api=SYNO.DownloadStation.Task&version=1&method=list&_sid=" + sid)).body;
    EXPECT_EQ(std::string::npos, plain.find("additional")) << plain;

    rapidjson::Document waiting = list(sim, sid);
    ASSERT_TRUE(waiting.IsObject());
    const auto &t0 = waiting["data"]["tasks"][0];
    EXPECT_STREQ("dbid_1", t0["id"].GetString());
    EXPECT_STREQ("big file.iso", t0["title"].GetString());
    EXPECT_STREQ("http", t0["type"].GetString());
    EXPECT_STREQ("admin", t0["username"].GetString());
    EXPECT_STREQ("waiting", t0["status"].GetString());
    EXPECT_STREQ("downloads", t0["additional"]["detail"]["destination"].GetString());
    EXPECT_STREQ("https://example.org/files/big%20file.iso?mirror=2", t0["additional"]["detail"]["uri"].GetString());
    EXPECT_EQ(1700000000, t0["additional"]["detail"]["create_time"].GetInt64());
    EXPECT_EQ(0, t0["additional"]["detail"]["started_time"].GetInt64());
    EXPECT_EQ(0, t0["additional"]["transfer"]["size_downloaded"].GetInt64());
    EXPECT_EQ(0, t0["additional"]["transfer"]["speed_download"].GetInt64());
    const int64_t size = t0["size"].GetInt64();
    EXPECT_GE(size, int64_t{64} << 20);
    EXPECT_LE(size, int64_t{1} << 30);

    // A task waits at most 5 s and downloads for at least 8.
    ASSERT_TRUE(sim.advance(5));
    rapidjson::Document early = list(sim, sid);
    ASSERT_TRUE(sim.advance(2));
    rapidjson::Document later = list(sim, sid);
    const auto &t5 = early["data"]["tasks"][0];
    const auto &t7 = later["data"]["tasks"][0];
    EXPECT_STREQ("downloading", t5["status"].GetString());
    EXPECT_STREQ("downloading", t7["status"].GetString());
    const int64_t started = t5["additional"]["detail"]["started_time"].GetInt64();
    EXPECT_GE(started, 1700000001);
    EXPECT_LE(started, 1700000005);
    const int64_t speed = t5["additional"]["transfer"]["speed_download"].GetInt64();
    EXPECT_GE(speed, 512 * 1024);
    EXPECT_LE(speed, 8 * 1024 * 1024);
    EXPECT_EQ(2 * speed, t7["additional"]["transfer"]["size_downloaded"].GetInt64() -
                             t5["additional"]["transfer"]["size_downloaded"].GetInt64());
    EXPECT_EQ(R"({"success":true,"data":{"speed_download":)" + std::to_string(speed) + R"(,"speed_upload":0}})",
              sim.get("/webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic&version=1"
                      "&method=getinfo&_sid=" + sid).body);

    ASSERT_TRUE(sim.advance(3 * 3600));
    rapidjson::Document done = list(sim, sid);
    const auto &t = done["data"]["tasks"][0];
    EXPECT_STREQ("finished", t["status"].GetString());
    EXPECT_EQ(size, t["additional"]["transfer"]["size_downloaded"].GetInt64());
    EXPECT_EQ(0, t["additional"]["transfer"]["speed_download"].GetInt64());
    const int64_t completed = t["additional"]["detail"]["completed_time"].GetInt64();
    EXPECT_GE(completed, started + 8);
    EXPECT_LE(completed, 1700000000 + 3 * 3600);
    EXPECT_FALSE(t["additional"]["detail"].HasMember("error_code"));
}

TEST_F(SimRules, FailingTasksReportTheirCode)
{
    sim_process &sim = start(options({"--error-rate", "1"}));
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    create(sim, sid, "http%3A%2F%2Fexample.org%2Fa.bin");
    ASSERT_TRUE(sim.advance(3 * 3600));
    rapidjson::Document tasks = list(sim, sid);
    const auto &t = tasks["data"]["tasks"][0];
    EXPECT_STREQ("error", t["status"].GetString());
    const int code = t["additional"]["detail"]["error_code"].GetInt();
    EXPECT_TRUE(code == 100 || code == 402 || code == 408) << code;
    const int64_t size = t["size"].GetInt64();
    const int64_t downloaded = t["additional"]["transfer"]["size_downloaded"].GetInt64();
    EXPECT_GE(downloaded, size / 100 * 10);
    EXPECT_LE(downloaded, size / 100 * 90);
    EXPECT_EQ(0, t["additional"]["detail"]["completed_time"].GetInt64());
}

TEST_F(SimRules, ActionsAnswerPerTask)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    create(sim, sid, "http%3A%2F%2Fexample.org%2Fa.bin");
    ASSERT_TRUE(sim.advance(3 * 3600));  // dbid_1 is finished
    create(sim, sid, "http%3A%2F%2Fexample.org%2Fb.bin");
    const std::string task = task_cgi("api=SYNO.DownloadStation.Task&version=1");
    const std::string ids = "&id=dbid_2%2Cdbid_1%2Cdbid_9&_sid=" + sid;
    EXPECT_EQ(R"({"success":true,"data":[{"error":0,"id":"dbid_2"},{"error":405,"id":"dbid_1"},{"error":404,"id":"dbid_9"}]})",
              sim.get(task + "&method=pause" + ids).body);
    EXPECT_EQ(R"({"success":true,"data":[{"error":405,"id":"dbid_2"}]})",
              sim.get(task + "&method=pause&id=dbid_2&_sid=" + sid).body);
    EXPECT_EQ(R"({"success":true,"data":[{"error":0,"id":"dbid_2"},{"error":405,"id":"dbid_1"},{"error":404,"id":"dbid_9"}]})",
              sim.get(task + "&method=resume" + ids).body);
    EXPECT_EQ(R"({"success":true,"data":[{"error":405,"id":"dbid_2"}]})",
              sim.get(task + "&method=resume&id=dbid_2&_sid=" + sid).body);
    EXPECT_EQ(R"({"success":true,"data":[{"error":0,"id":"dbid_1"},{"error":404,"id":"dbid_9"}]})",
              sim.get(task + "&method=delete&id=dbid_1%2Cdbid_9&force_complete=false&_sid=" + sid).body);
    rapidjson::Document left = list(sim, sid);
    ASSERT_EQ(1u, left["data"]["tasks"].Size());
    EXPECT_STREQ("dbid_2", left["data"]["tasks"][0]["id"].GetString());
    EXPECT_STREQ("waiting", left["data"]["tasks"][0]["status"].GetString());
}

TEST_F(SimRules, TorrentLimitsAreSharedAndPersist)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string info = "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1";
    EXPECT_EQ(R"({"success":true})",
              sim.get(info + "&method=setserverconfig&bt_max_download=100&default_destination=video%2Fnew&_sid=" + sid).body);
    EXPECT_EQ(R"({"success":true,"data":{"bt_max_download":100,"bt_max_upload":0,"default_destination":"video/new",)"
              R"("emule_enabled":false,"ftp_max_download":0,"http_max_download":0,"unzip_service_enabled":false}})",
              sim.get(info + "&method=getconfig&_sid=" + sid).body);

    create(sim, sid, "magnet%3A%3Fxt%3Durn%3Abtih%3Aaaa%26dn%3DFirst");
    create(sim, sid, "magnet%3A%3Fxt%3Durn%3Abtih%3Abbb");
    ASSERT_TRUE(sim.advance(5));
    rapidjson::Document tasks = list(sim, sid);
    int64_t sum = 0;
    for (const auto &t : tasks["data"]["tasks"].GetArray()) {
        EXPECT_STREQ("downloading", t["status"].GetString());
        const int64_t speed = t["additional"]["transfer"]["speed_download"].GetInt64();
        EXPECT_GT(speed, 0);
        EXPECT_LE(speed, 50 * 1024);
        sum += speed;
    }
    EXPECT_STREQ("First", tasks["data"]["tasks"][0]["title"].GetString());
    EXPECT_STREQ("magnet bbb", tasks["data"]["tasks"][1]["title"].GetString());
    rapidjson::Document stats = parsed(sim.get("/webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic"
                                               "&version=1&method=getinfo&_sid=" + sid).body);
    EXPECT_EQ(sum, stats["data"]["speed_download"].GetInt64());
    // Created without a destination, a task goes to the default one.
    sim.post("/webapi/DownloadStation/task.cgi", "application/x-www-form-urlencoded",
             "api=SYNO.DownloadStation.Task&version=1&method=create&uri=ftp%3A%2F%2Fh%2Fc.iso&_sid=" + sid);
    EXPECT_STREQ("video/new", list(sim, sid)["data"]["tasks"][2]["additional"]["detail"]["destination"].GetString());
}

TEST_F(SimRules, FoldersAndShares)
{
    sim_process &sim = start(options());
    ASSERT_NE(0, sim.port());
    const std::string sid = log_in(sim);
    const std::string files = entry("api=SYNO.FileStation.List&version=2");
    EXPECT_EQ(R"({"success":true,"data":{"offset":0,"shares":[)"
              R"({"name":"downloads","path":"/downloads","desc":"Download Station's default folder","isdir":true},)"
              R"({"name":"music","path":"/music","desc":"Music library","isdir":true},)"
              R"({"name":"personal","path":"/personal","desc":"Personal files","isdir":true},)"
              R"({"name":"video","path":"/video","desc":"Films and series","isdir":true}],"total":4}})",
              sim.get(files + "&method=list_share&_sid=" + sid).body);
    const std::string video = R"({"success":true,"data":{"files":[{"name":"films","path":"/video/films","isdir":true},)"
                              R"({"name":"new","path":"/video/new","isdir":true},)"
                              R"({"name":"series","path":"/video/series","isdir":true}],"offset":0,"total":3}})";
    EXPECT_EQ(video, sim.get(files + "&method=list&folder_path=%2Fvideo&filetype=dir&_sid=" + sid).body);
    EXPECT_EQ(video, sim.get(files + "&method=list&folder_path=%2Fvideo%2F&filetype=dir&_sid=" + sid).body);
    EXPECT_EQ(R"({"success":true,"data":{"files":[{"name":"classics","path":"/video/films/classics","isdir":true},)"
              R"({"name":"trailer.mp4","path":"/video/films/trailer.mp4","isdir":false}],"offset":0,"total":2}})",
              sim.get(files + "&method=list&folder_path=%2Fvideo%2Ffilms&_sid=" + sid).body);
    EXPECT_EQ(R"({"success":true,"data":{"files":[{"name":"trailer.mp4","path":"/video/films/trailer.mp4","isdir":false}],)"
              R"("offset":0,"total":1}})",
              sim.get(files + "&method=list&folder_path=%2Fvideo%2Ffilms&filetype=file&_sid=" + sid).body);
}

TEST_F(SimRules, SameSeedSameStation)
{
    auto run = [&](const char *seed) {
        sim_process &sim = start(options({"--seed", seed}));
        const std::string sid = log_in(sim);
        create(sim, sid, "http%3A%2F%2Fexample.org%2Fa.bin");
        create(sim, sid, "magnet%3A%3Fxt%3Durn%3Abtih%3Accc");
        sim.advance(600);
        return sid + sim.get(task_cgi("api=SYNO.DownloadStation.Task&version=1&method=list"
                                      "&additional=detail,transfer&_sid=" + sid)).body;
    };
    const std::string first = run("42");
    EXPECT_NE(std::string::npos, first.find(R"("status":)"));
    EXPECT_EQ(first, run("42"));
    EXPECT_NE(first, run("43"));
}

TEST_F(SimRules, StopsCleanlyOnSignals)
{
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        sim_process &busy = start(options());
        ASSERT_NE(0, busy.port());
        log_in(busy);
        EXPECT_EQ(0, busy.stop(signal));
        // Stopped before it has served anything.
        sim_process &idle = start(options());
        ASSERT_NE(0, idle.port());
        EXPECT_EQ(0, idle.stop(signal));
    }
}

}  // namespace
