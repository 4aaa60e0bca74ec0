// Every ds_ call of the shared library, linked as a host program links it,
// against the simulated station over real HTTP.
#include "sim_process.h"
#include "synology_ds.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

rapidjson::Document parsed(const char *text)
{
    rapidjson::Document doc;
    doc.Parse(text);
    return doc;
}

std::string write_file(const std::string &name, const std::string &content)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

class LibraryE2E : public ::testing::Test {
protected:
    std::unique_ptr<sim_process> sim;

    // A stopped clock at a known time, no failing tasks unless asked.
    void start(std::vector<std::string> more = {})
    {
        std::vector<std::string> options = {"--speed", "0", "--seed", "11", "--epoch", "1700000000",
                                            "--error-rate", "0"};
        options.insert(options.end(), more.begin(), more.end());
        sim = std::make_unique<sim_process>(options);
        ASSERT_NE(0, sim->port());
    }

    void connect()
    {
        ASSERT_EQ(0, ds_connect("127.0.0.1", sim->port(), "admin", "admin"));
        ASSERT_STREQ("", ds_last_error());
    }

    void advance(int seconds) { ASSERT_TRUE(sim->advance(seconds)); }

    // The 2-step verification code the station takes now.
    std::string otp_code() const
    {
        rapidjson::Document answer = parsed(sim->get("/sim/otp").body.c_str());
        if (!answer.IsObject() || !answer.HasMember("data") || !answer["data"].IsObject() ||
            !answer["data"].HasMember("code") || !answer["data"]["code"].IsString())
            return "";
        return answer["data"]["code"].GetString();
    }

    // The station must stop cleanly: a sanitizer's report in it would make
    // its exit status non-zero.
    void TearDown() override
    {
        ds_disconnect();
        ds_set_timeout(10);
        if (sim) {
            EXPECT_EQ(0, sim->stop(SIGTERM));
        }
    }
};

TEST_F(LibraryE2E, SessionCalls)
{
    start();
    EXPECT_STREQ("2.0.0", ds_version());
    EXPECT_EQ(0, ds_is_connected());
    EXPECT_EQ(0, ds_set_timeout(30));
    EXPECT_STREQ("", ds_last_error());

    EXPECT_EQ(400, ds_connect("127.0.0.1", sim->port(), "admin", "wrong"));
    EXPECT_STREQ("Login failed (code 400: No such account or incorrect password)", ds_last_error());
    EXPECT_EQ(0, ds_is_connected());

    connect();
    EXPECT_EQ(1, ds_is_connected());
    EXPECT_EQ(1, ds_ping());
    EXPECT_STREQ("", ds_last_error());

    EXPECT_EQ(0, ds_disconnect());
    EXPECT_EQ(0, ds_is_connected());
    EXPECT_EQ(0, ds_ping());
    EXPECT_STREQ("Not connected to NAS", ds_last_error());
}

TEST_F(LibraryE2E, ExpiredSessionShowsAsStationCodes)
{
    start({"--session-idle", "60"});
    connect();
    advance(61);
    EXPECT_EQ(0, ds_ping());
    EXPECT_STREQ("Session expired or invalid", ds_last_error());
    EXPECT_STREQ("[]", ds_list_tasks());
    EXPECT_STREQ("List tasks failed (code 106: Session timeout)", ds_last_error());
    EXPECT_STREQ("{}", ds_info());
    EXPECT_STREQ("Get info failed (code 106: Session timeout)", ds_last_error());
    EXPECT_EQ(1, ds_is_connected());
}

TEST_F(LibraryE2E, AddedTasksRunOnTheStationClock)
{
    start();
    connect();
    EXPECT_EQ(0, ds_add_url("https://example.org/isos/debian-12.iso", "/downloads"));
    EXPECT_EQ(2, ds_add_urls("\r\n  ftp://ftp.example.org/pub/a.tar.gz  \r\n"
                             "magnet:?xt=urn:btih:abc&dn=Big+Buck+Bunny\n\n", "video/new"));
    const std::string torrent = write_file("named.torrent", "d4:infod6:lengthi10e4:name9:demo.filee");
    EXPECT_EQ(0, ds_add_torrent(torrent.c_str(), nullptr));
    EXPECT_STREQ("", ds_last_error());

    struct expected_task {
        const char *id, *title, *type, *destination, *uri;
    };
    const expected_task expected[] = {
        {"dbid_1", "debian-12.iso", "http", "downloads", "https://example.org/isos/debian-12.iso"},
        {"dbid_2", "a.tar.gz", "ftp", "video/new", "ftp://ftp.example.org/pub/a.tar.gz"},
        {"dbid_3", "Big Buck Bunny", "bt", "video/new", "magnet:?xt=urn:btih:abc&dn=Big+Buck+Bunny"},
        {"dbid_4", "demo.file", "bt", "downloads", "named.torrent"},  // the station's default folder
    };
    rapidjson::Document waiting = parsed(ds_list_tasks());
    ASSERT_TRUE(waiting.IsArray());
    ASSERT_EQ(4u, waiting.Size());
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].id);
        const auto &t = waiting[static_cast<rapidjson::SizeType>(i)];
        EXPECT_STREQ(expected[i].id, t["id"].GetString());
        EXPECT_STREQ(expected[i].title, t["title"].GetString());
        EXPECT_STREQ(expected[i].type, t["type"].GetString());
        EXPECT_STREQ(expected[i].destination, t["destination"].GetString());
        EXPECT_STREQ(expected[i].uri, t["uri"].GetString());
        EXPECT_STREQ("waiting", t["status"].GetString());
        EXPECT_STREQ("admin", t["username"].GetString());
        EXPECT_EQ(1700000000, t["create_time"].GetInt64());
        EXPECT_EQ(0.0, t["progress"].GetDouble());
        EXPECT_EQ(-1, t["eta_seconds"].GetInt64());
    }
    EXPECT_STREQ("[]", ds_list_tasks_filtered("downloading"));
    EXPECT_EQ(4u, parsed(ds_list_tasks_filtered("paused, WAITING")).Size());

    advance(5);
    rapidjson::Document running = parsed(ds_list_tasks_filtered("downloading"));
    ASSERT_EQ(4u, running.Size());
    int64_t down = 0;
    int64_t up = 0;
    for (const auto &t : running.GetArray()) {
        EXPECT_GT(t["progress"].GetDouble(), 0.0);
        EXPECT_LT(t["progress"].GetDouble(), 1.0);
        EXPECT_GT(t["eta_seconds"].GetInt64(), 0);
        down += t["speed_download"].GetInt64();
        up += t["speed_upload"].GetInt64();
    }
    EXPECT_GT(up, 0);  // the torrents upload
    EXPECT_EQ("{\"speed_download\":" + std::to_string(down) + ",\"speed_upload\":" + std::to_string(up) + "}",
              std::string(ds_stats()));
    rapidjson::Document magnet = parsed(ds_get_task("dbid_3"));
    ASSERT_TRUE(magnet.IsObject());
    EXPECT_STREQ("Big Buck Bunny", magnet["title"].GetString());
    EXPECT_GT(magnet["connected_seeders"].GetInt(), 0);
    EXPECT_EQ(magnet["connected_peers"].GetInt(), magnet["connected_seeders"].GetInt() + magnet["connected_leechers"].GetInt());
    EXPECT_GE(magnet["total_peers"].GetInt(), magnet["connected_peers"].GetInt());

    advance(3 * 3600);
    // The torrents seed on once they have it all.
    rapidjson::Document finished = parsed(ds_list_tasks_filtered("finished,seeding"));
    ASSERT_EQ(4u, finished.Size());
    for (const auto &t : finished.GetArray()) {
        EXPECT_EQ(1.0, t["progress"].GetDouble());
        EXPECT_EQ(t["size_total"].GetInt64(), t["size_downloaded"].GetInt64());
        EXPECT_GT(t["completed_time"].GetInt64(), t["started_time"].GetInt64());
        const bool seeds = std::string(t["type"].GetString()) == "bt";
        EXPECT_STREQ(seeds ? "seeding" : "finished", t["status"].GetString());
        if (!seeds) {
            EXPECT_EQ(0, t["connected_peers"].GetInt());
        }
    }
    EXPECT_GT(finished[2]["seed_ratio"].GetDouble(), 0.0);
    rapidjson::Document stats = parsed(ds_stats());
    EXPECT_EQ(0, stats["speed_download"].GetInt64());
    EXPECT_GT(stats["speed_upload"].GetInt64(), 0);
}

TEST_F(LibraryE2E, ActionsOnTasks)
{
    start();
    connect();
    ASSERT_EQ(3, ds_add_urls("http://example.org/1.bin\nhttp://example.org/2.bin\nhttp://example.org/3.bin", "downloads"));
    advance(5);
    EXPECT_EQ(0, ds_pause("dbid_1"));
    EXPECT_STREQ("paused", parsed(ds_get_task("dbid_1"))["status"].GetString());
    EXPECT_EQ(0, ds_resume("dbid_1"));
    EXPECT_STREQ("waiting", parsed(ds_get_task("dbid_1"))["status"].GetString());

    EXPECT_EQ(3, ds_pause_all());
    EXPECT_EQ(3u, parsed(ds_list_tasks_filtered("paused")).Size());
    EXPECT_EQ(0, ds_pause_all());
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(3, ds_resume_all());
    EXPECT_EQ(3u, parsed(ds_list_tasks_filtered("waiting")).Size());

    advance(3 * 3600);
    EXPECT_EQ(405, ds_pause("dbid_1"));
    EXPECT_STREQ("Task dbid_1 pause failed (code 405: Invalid task action)", ds_last_error());
    EXPECT_EQ(404, ds_resume("dbid_9"));
    EXPECT_STREQ("Task dbid_9 resume failed (code 404: Invalid task id)", ds_last_error());
    EXPECT_EQ(0, ds_delete("dbid_1", 0));
    EXPECT_EQ(404, ds_delete("dbid_1", 1));
    EXPECT_STREQ("Task dbid_1 delete failed (code 404: Invalid task id)", ds_last_error());
    EXPECT_STREQ("{}", ds_get_task("dbid_1"));
    EXPECT_STREQ("Task dbid_1 not found (code 404: Invalid task id)", ds_last_error());

    ASSERT_EQ(0, ds_add_url("http://example.org/4.bin", "downloads"));
    EXPECT_EQ(404, ds_pause("dbid_4,dbid_9"));
    EXPECT_STREQ("Task dbid_9 pause failed (code 404: Invalid task id)", ds_last_error());
    EXPECT_EQ(2, ds_delete_completed());
    rapidjson::Document left = parsed(ds_list_tasks());
    ASSERT_EQ(1u, left.Size());
    EXPECT_STREQ("dbid_4", left[0]["id"].GetString());
    EXPECT_STREQ("paused", left[0]["status"].GetString());
}

TEST_F(LibraryE2E, FailedTasksCarryTheirErrorAndCountAsCompleted)
{
    start({"--error-rate", "1"});
    connect();
    ASSERT_EQ(2, ds_add_urls("http://example.org/a.bin\nmagnet:?xt=urn:btih:ddd", nullptr));
    advance(3 * 3600);
    rapidjson::Document failed = parsed(ds_list_tasks_filtered("error"));
    ASSERT_EQ(2u, failed.Size());
    // The station words a failure in the task's status_extra; the record
    // carries its reason in English.
    const std::set<std::string> reasons = {"Broken link", "Destination does not exist", "Destination denied",
                                           "Disk full", "Quota reached", "Timed out", "File does not exist",
                                           "Duplicate torrent", "Unknown error"};
    for (const auto &t : failed.GetArray()) {
        EXPECT_EQ(1u, reasons.count(t["error_detail"].GetString())) << t["error_detail"].GetString();
        EXPECT_LT(t["progress"].GetDouble(), 1.0);
        rapidjson::Document one = parsed(ds_get_task(t["id"].GetString()));
        EXPECT_STREQ(t["error_detail"].GetString(), one["error_detail"].GetString());
    }
    EXPECT_EQ(0, ds_resume_all());
    EXPECT_EQ(2, ds_delete_completed());
    EXPECT_STREQ("[]", ds_list_tasks());
}

TEST_F(LibraryE2E, RefusedAdditions)
{
    start();
    connect();
    const std::string torrent = write_file("refused.torrent", "d4:name1:xe");
    EXPECT_EQ(101, ds_add_url("gopher://example.org/x", nullptr));
    EXPECT_STREQ("Add URL failed (code 101: Invalid parameter)", ds_last_error());
    EXPECT_EQ(403, ds_add_url("http://example.org/x", "nowhere"));
    EXPECT_STREQ("Add URL failed (code 403: Destination denied)", ds_last_error());
    EXPECT_EQ(403, ds_add_torrent(torrent.c_str(), "video/nowhere"));
    EXPECT_STREQ("Add torrent failed (code 403: Destination denied)", ds_last_error());
    EXPECT_EQ(0, ds_add_urls("gopher://example.org/x\nfile:///etc/passwd", nullptr));
    EXPECT_STREQ("Add URL failed (code 101: Invalid parameter)", ds_last_error());
    EXPECT_STREQ("[]", ds_list_tasks());
}

// A torrent file reaches the station on either kind of station: the older
// upload route where the station still takes it, the current one where it
// retires the older with 101; without a destination, the station's default
// folder.
TEST_F(LibraryE2E, TorrentUploadOnEitherStation)
{
    const std::string torrent = write_file("either.torrent", "d4:infod6:lengthi10e4:name4:filee");
    for (const char *version : {"legacy", "current"}) {
        SCOPED_TRACE(version);
        start({"--station-version", version});
        connect();
        EXPECT_EQ(0, ds_add_torrent(torrent.c_str(), nullptr));
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(0, ds_add_torrent(torrent.c_str(), "/video/new"));
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(0, ds_add_url("https://example.org/c.iso", nullptr));
        rapidjson::Document tasks = parsed(ds_list_tasks());
        ASSERT_EQ(3u, tasks.Size());
        EXPECT_STREQ("downloads", tasks[0]["destination"].GetString());
        EXPECT_STREQ("video/new", tasks[1]["destination"].GetString());
        EXPECT_STREQ("downloads", tasks[2]["destination"].GetString());
        EXPECT_STREQ("file", tasks[0]["title"].GetString());
        EXPECT_EQ(0, ds_disconnect());
        EXPECT_EQ(0, sim->stop(SIGTERM));
        sim.reset();
    }
}

TEST_F(LibraryE2E, NoDestinationOnAStationWithoutADefaultFolder)
{
    const std::string torrent = write_file("nowhere.torrent", "d4:infod4:name1:xee");
    struct station_case { const char *version, *torrent_error; int torrent_result; };
    const station_case cases[] = {
        {"legacy", "Add torrent failed (code 406: No default destination or invalid parameter)", 406},
        {"current", "Add torrent failed: no destination given and the station has no default destination", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version);
        start({"--station-version", c.version, "--default-destination", ""});
        connect();
        EXPECT_EQ(c.torrent_result, ds_add_torrent(torrent.c_str(), nullptr));
        EXPECT_STREQ(c.torrent_error, ds_last_error());
        EXPECT_EQ(406, ds_add_url("https://example.org/c.iso", nullptr));
        EXPECT_STREQ("Add URL failed (code 406: No default destination or invalid parameter)", ds_last_error());
        EXPECT_EQ(0, ds_add_torrent(torrent.c_str(), "video"));
        EXPECT_EQ(0, ds_disconnect());
        EXPECT_EQ(0, sim->stop(SIGTERM));
        sim.reset();
    }
}

// A station that sends its figures as strings of digits gives the same records.
TEST_F(LibraryE2E, NumbersSentAsTextGiveTheSameRecords)
{
    std::string records[2];
    for (int as_text = 0; as_text < 2; ++as_text) {
        start(as_text ? std::vector<std::string>{"--numbers-as-text"} : std::vector<std::string>{});
        connect();
        ASSERT_EQ(2, ds_add_urls("https://example.org/a.iso\nmagnet:?xt=urn:btih:abc&dn=Film", "video"));
        advance(20);
        records[as_text] = ds_list_tasks();
        EXPECT_EQ(0, ds_disconnect());
        EXPECT_EQ(0, sim->stop(SIGTERM));
        sim.reset();
    }
    EXPECT_EQ(records[0], records[1]);
    rapidjson::Document tasks = parsed(records[1].c_str());
    ASSERT_EQ(2u, tasks.Size());
    EXPECT_GT(tasks[0]["size_total"].GetInt64(), 0);
    EXPECT_GT(tasks[0]["size_downloaded"].GetInt64(), 0);
    EXPECT_EQ(1700000000, tasks[0]["create_time"].GetInt64());
}

// An account with 2-step verification: the code of the station's clock, a
// wrong one, and a device the station trusts from then on.
TEST_F(LibraryE2E, SecondFactorSignIn)
{
    start({"--otp-secret", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"});
    EXPECT_EQ(403, ds_connect("127.0.0.1", sim->port(), "admin", "admin"));
    EXPECT_STREQ("Login failed (code 403: 2-step verification code required)", ds_last_error());
    EXPECT_EQ(404, ds_connect_with("127.0.0.1", sim->port(), "admin", "admin", R"({"otp_code":"000000"})"));
    EXPECT_STREQ("Login failed (code 404: Failed to authenticate 2-step verification code)", ds_last_error());

    const std::string code = otp_code();
    ASSERT_EQ(6u, code.size());
    const std::string trust = R"({"otp_code":")" + code + R"(","device_name":"test host"})";
    ASSERT_EQ(0, ds_connect_with("127.0.0.1", sim->port(), "admin", "admin", trust.c_str()));
    rapidjson::Document info = parsed(ds_session_info());
    const std::string device_id = info["device_id"].GetString();
    EXPECT_FALSE(device_id.empty());
    EXPECT_TRUE(info["connected"].GetBool());
    EXPECT_EQ(1, ds_ping());

    const std::string as_device = R"({"device_name":"test host","device_id":")" + device_id + R"("})";
    EXPECT_EQ(0, ds_connect_with("127.0.0.1", sim->port(), "admin", "admin", as_device.c_str()));
    EXPECT_EQ(1, ds_ping());
    EXPECT_EQ(403, ds_connect_with("127.0.0.1", sim->port(), "admin", "admin",
                                   R"({"device_name":"test host","device_id":"not-trusted"})"));
}

TEST_F(LibraryE2E, StationSettings)
{
    start();
    connect();
    EXPECT_STREQ(R"({"is_manager":true,"version":3566,"version_string":"3.8.16-3566"})", ds_info());
    EXPECT_STREQ(R"({"bt_max_download":0,"bt_max_upload":0,"default_destination":"downloads","emule_enabled":false,)"
                 R"("ftp_max_download":0,"http_max_download":0,"unzip_service_enabled":false})",
                 ds_get_config());
    EXPECT_STREQ("downloads", ds_get_default_destination());

    EXPECT_EQ(0, ds_set_speed_limit(500, -1));
    EXPECT_EQ(0, ds_set_speed_limit(-1, 20));
    rapidjson::Document config = parsed(ds_get_config());
    EXPECT_EQ(500, config["bt_max_download"].GetInt());
    EXPECT_EQ(20, config["bt_max_upload"].GetInt());

    EXPECT_EQ(0, ds_set_default_destination("/video/new"));
    EXPECT_STREQ("video/new", ds_get_default_destination());
    EXPECT_EQ(403, ds_set_default_destination("nowhere"));
    EXPECT_STREQ("Set default destination failed (code 403: Destination denied)", ds_last_error());
    EXPECT_STREQ("video/new", ds_get_default_destination());
}

TEST_F(LibraryE2E, SharesAndFolders)
{
    start();
    connect();
    EXPECT_STREQ(R"([{"name":"downloads","path":"/downloads","desc":"Download Station's default folder","isdir":true},)"
                 R"({"name":"music","path":"/music","desc":"Music library","isdir":true},)"
                 R"({"name":"personal","path":"/personal","desc":"Personal files","isdir":true},)"
                 R"({"name":"video","path":"/video","desc":"Films and series","isdir":true}])",
                 ds_list_shares());
    EXPECT_STREQ(R"([{"name":"films","path":"/video/films","isdir":true},{"name":"new","path":"/video/new","isdir":true},)"
                 R"({"name":"series","path":"/video/series","isdir":true}])",
                 ds_list_folders("video"));
    EXPECT_STREQ(R"([{"name":"classics","path":"/video/films/classics","isdir":true}])", ds_list_folders("/video/films"));
    EXPECT_STREQ("[]", ds_list_folders("nope"));
    EXPECT_STREQ("List folders in nope failed (code 408: File does not exist)", ds_last_error());
}

TEST_F(LibraryE2E, ThreadsShareOneSession)
{
    start();
    connect();
    std::vector<std::string> errors(4);
    std::vector<std::thread> threads;
    for (size_t n = 0; n < errors.size(); ++n) {
        threads.emplace_back([n, &errors] {
            for (int i = 0; i < 10; ++i) {
                const std::string url = "http://example.org/t" + std::to_string(n) + "/" + std::to_string(i) + ".bin";
                if (ds_add_url(url.c_str(), "downloads") != 0 || !rapidjson::Document().Parse(ds_list_tasks()).IsArray())
                    errors[n] = ds_last_error();
            }
        });
    }
    for (std::thread &t : threads) t.join();
    for (const std::string &e : errors) EXPECT_EQ("", e);
    rapidjson::Document all = parsed(ds_list_tasks());
    ASSERT_EQ(40u, all.Size());
    std::set<std::string> ids;
    for (const auto &t : all.GetArray()) ids.insert(t["id"].GetString());
    EXPECT_EQ(40u, ids.size());
}

// A bulk action over more ids than one request line holds is spread over
// several requests, each of which the station takes: the whole request line
// stays within 8 KiB, which the station (like many web servers) insists on.
TEST_F(LibraryE2E, BulkActionOverManyTasks)
{
    start();
    connect();
    std::string urls;
    for (int i = 1; i <= 900; ++i) urls += "http://example.org/" + std::to_string(i) + ".bin\n";
    ASSERT_EQ(900, ds_add_urls(urls.c_str(), "downloads"));
    EXPECT_EQ(900, ds_pause_all());
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(0u, parsed(ds_list_tasks_filtered("waiting,downloading")).Size());
    EXPECT_EQ(900u, parsed(ds_list_tasks_filtered("paused")).Size());
}

}  // namespace
