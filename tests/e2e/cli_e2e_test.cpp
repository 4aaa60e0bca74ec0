// The command-line tool's main paths against the simulated station: exit
// status, what it prints and what it says on stderr.
#include "sim_process.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

const std::vector<std::string> no_station = {"DS_HOST", "DS_PORT", "DS_USER", "DS_PASSWORD", "DS_TIMEOUT"};

size_t count_of(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class CliE2E : public ::testing::Test {
protected:
    std::unique_ptr<sim_process> sim;

    void SetUp() override
    {
        // add-torrent uploads through SYNO.DownloadStation.Task, which
        // stations before 3.8.16 take.
        sim = std::make_unique<sim_process>(std::vector<std::string>{
            "--speed", "0", "--seed", "5", "--epoch", "1700000000", "--error-rate", "0", "--station-version",
            "legacy"});
        ASSERT_NE(0, sim->port());
    }

    // The station must stop cleanly: a sanitizer's report in it would make
    // its exit status non-zero.
    void TearDown() override { EXPECT_EQ(0, sim->stop(SIGTERM)); }

    std::string port() const { return std::to_string(sim->port()); }

    std::vector<std::string> station_env() const
    {
        return {"DS_HOST=127.0.0.1", "DS_PORT=" + port(), "DS_USER=admin", "DS_PASSWORD=admin", "DS_TIMEOUT"};
    }

    program_result ds(const std::vector<std::string> &args) const { return run_program(DS_CLI_PATH, args, station_env()); }

    void advance(int seconds) const { ASSERT_TRUE(sim->advance(seconds)); }
};

TEST_F(CliE2E, VersionNeedsNoStation)
{
    for (const char *flag : {"version", "--version"}) {
        const program_result r = run_program(DS_CLI_PATH, {flag}, no_station);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("2.0.0\n", r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST_F(CliE2E, UsageErrorsExitWithTwo)
{
    const program_result none = run_program(DS_CLI_PATH, {}, station_env());
    EXPECT_EQ(2, none.status);
    EXPECT_NE(std::string::npos, none.err.find("A subcommand is required")) << none.err;

    const program_result no_host = run_program(DS_CLI_PATH, {"list"}, no_station);
    EXPECT_EQ(2, no_host.status);
    EXPECT_EQ("ds: give the station with --host (or DS_HOST) and --user (or DS_USER)\n", no_host.err);
    EXPECT_EQ("", no_host.out);

    EXPECT_EQ(2, ds({"limit"}).status);
    EXPECT_EQ(2, ds({"show"}).status);
    EXPECT_EQ(2, ds({"limit", "--down", "-3"}).status);
}

TEST_F(CliE2E, PasswordFromEnvironmentOrStandardInput)
{
    const std::string accepted = "The station at 127.0.0.1:" + port() + " accepts the session of admin\n";
    EXPECT_EQ(accepted, ds({"ping"}).out);

    const program_result from_input =
        run_program(DS_CLI_PATH, {"ping"}, {"DS_HOST=127.0.0.1", "DS_PORT=" + port(), "DS_USER=admin", "DS_PASSWORD"},
                    "admin\n");
    EXPECT_EQ(0, from_input.status);
    EXPECT_EQ(accepted, from_input.out);

    const program_result from_flags = run_program(
        DS_CLI_PATH, {"--host", "127.0.0.1", "--port", port(), "--user", "admin", "-v", "ping"},
        {"DS_HOST", "DS_PORT", "DS_USER", "DS_PASSWORD=admin"});
    EXPECT_EQ(0, from_flags.status);
    EXPECT_EQ(accepted, from_flags.out);
    EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: logged out\n", from_flags.err);

    const program_result refused = run_program(
        DS_CLI_PATH, {"ping"}, {"DS_HOST=127.0.0.1", "DS_PORT=" + port(), "DS_USER=admin", "DS_PASSWORD=wrong"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("", refused.out);
    EXPECT_EQ("ds: Login failed (code 400: File upload failed)\n", refused.err);
}

TEST_F(CliE2E, TimeoutOutOfRangeIsRefused)
{
    const program_result r = run_program(DS_CLI_PATH, {"--timeout", "0", "ping"}, station_env());
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("ds: Invalid timeout: 0 (must be between 1 and 300 seconds)\n", r.err);
}

TEST_F(CliE2E, AddListShowAndActOnTasks)
{
    EXPECT_EQ("Added https://example.org/isos/debian-12.iso\n",
              ds({"add", "https://example.org/isos/debian-12.iso", "-d", "downloads"}).out);

    const program_result batch =
        ds({"add", "ftp://ftp.example.org/pub/a.tar.gz", "magnet:?xt=urn:btih:abc&dn=Big+Buck+Bunny",
            "gopher://example.org/x", "-d", "video/new"});
    EXPECT_EQ(1, batch.status);
    EXPECT_EQ("Added 2 of 3 URLs\n", batch.out);
    EXPECT_EQ("ds: Add URL failed (code 101: Invalid parameter)\n", batch.err);

    const program_result from_input = run_program(DS_CLI_PATH, {"add", "--from", "-"}, station_env(),
                                                  "http://example.org/1.bin\n\n  http://example.org/2.bin\n");
    EXPECT_EQ(0, from_input.status);
    EXPECT_EQ("Added 2 of 2 URLs\n", from_input.out);

    const std::string torrent = ::testing::TempDir() + "cli.torrent";
    std::ofstream(torrent, std::ios::binary) << "d4:infod6:lengthi10e4:name9:demo.filee";
    EXPECT_EQ("Added " + torrent + "\n", ds({"add-torrent", torrent, "-d", "video"}).out);

    const std::vector<std::string> waiting = lines_of(ds({"list"}).out);
    ASSERT_EQ(8u, waiting.size());
    EXPECT_EQ(0u, waiting[0].find("ID      STATUS   PROGRESS                       SIZE")) << waiting[0];
    for (size_t i = 1; i <= 6; ++i) {
        EXPECT_EQ(0u, waiting[i].find("dbid_" + std::to_string(i) + "  waiting  [--------------------]   0.0%  "))
            << waiting[i];
    }
    EXPECT_NE(std::string::npos, waiting[1].find("debian-12.iso"));
    EXPECT_NE(std::string::npos, waiting[3].find("Big Buck Bunny"));
    EXPECT_EQ("6 tasks: 6 waiting", waiting[7]);

    advance(5);
    EXPECT_EQ("6 tasks: 6 downloading", lines_of(ds({"list"}).out).back());
    rapidjson::Document json;
    json.Parse(ds({"list", "--status", "downloading", "--json"}).out.c_str());
    ASSERT_TRUE(json.IsArray());
    EXPECT_EQ(6u, json.Size());

    const std::string details = ds({"show", "dbid_1"}).out;
    EXPECT_NE(std::string::npos, details.find("\nTitle        debian-12.iso\n")) << details;
    EXPECT_NE(std::string::npos, details.find("\nStatus       downloading\n")) << details;
    EXPECT_NE(std::string::npos, details.find("\nCreated      2023-11-14 22:13:20 UTC\n")) << details;

    EXPECT_EQ("Paused dbid_1, dbid_2\n", ds({"pause", "dbid_1", "dbid_2"}).out);
    EXPECT_EQ("Paused 4 tasks\n", ds({"pause-all"}).out);
    EXPECT_EQ("0\n", ds({"--json", "pause-all"}).out);
    EXPECT_EQ("Resumed 6 tasks\n", ds({"resume-all"}).out);
    EXPECT_EQ("Deleted dbid_6\n", ds({"delete", "dbid_6"}).out);

    const program_result unknown = ds({"pause", "dbid_9"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ("ds: Task dbid_9 pause failed (code 404: Invalid task id)\n", unknown.err);
    const program_result missing = ds({"show", "dbid_9"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("", missing.out);
    EXPECT_EQ("ds: Task dbid_9 not found (code 404: Invalid task id)\n", missing.err);

    advance(3 * 3600);
    // The magnet link's torrent seeds on once it has it all.
    EXPECT_EQ("5 tasks: 4 finished, 1 seeding", lines_of(ds({"list"}).out).back());
    EXPECT_EQ("Deleted 4 tasks\n", ds({"delete-completed"}).out);
    EXPECT_EQ("1 task: 1 seeding", lines_of(ds({"list"}).out).back());
    EXPECT_EQ("Deleted dbid_3\n", ds({"delete", "dbid_3"}).out);
    EXPECT_EQ("No tasks\n", ds({"list"}).out);
}

TEST_F(CliE2E, StationCommands)
{
    EXPECT_EQ("is_manager      true\nversion         3566\nversion_string  3.8.16-3566\n", ds({"info"}).out);
    EXPECT_EQ("Download  0 B/s\nUpload    0 B/s\n", ds({"stats"}).out);
    EXPECT_EQ("Speed limits set: download 500 KB/s, upload unchanged\n", ds({"limit", "--down", "500"}).out);
    EXPECT_EQ("bt_max_download        500\n"
              "bt_max_upload          0\n"
              "default_destination    downloads\n"
              "emule_enabled          false\n"
              "ftp_max_download       0\n"
              "http_max_download      0\n"
              "unzip_service_enabled  false\n",
              ds({"config"}).out);
    EXPECT_EQ("downloads\n", ds({"destination"}).out);
    EXPECT_EQ("Default destination set to /video/new\n", ds({"destination", "/video/new"}).out);
    EXPECT_EQ("video/new\n", ds({"destination"}).out);
    const program_result refused = ds({"destination", "nowhere"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("ds: Set default destination failed (code 403: Destination denied)\n", refused.err);
}

TEST_F(CliE2E, SharesAndFolderTree)
{
    EXPECT_EQ("NAME       PATH        DESCRIPTION\n"
              "downloads  /downloads  Download Station's default folder\n"
              "music      /music      Music library\n"
              "personal   /personal   Personal files\n"
              "video      /video      Films and series\n",
              ds({"shares"}).out);
    EXPECT_EQ("/video\n"
              "├── films\n"
              "│   └── classics\n"
              "├── new\n"
              "└── series\n",
              ds({"folders", "video", "--depth", "2"}).out);
    EXPECT_EQ("/video/films\n└── classics\n", ds({"folders", "/video/films"}).out);
    EXPECT_EQ(R"([{"name":"classics","path":"/video/films/classics","isdir":true}])"
              "\n",
              ds({"--json", "folders", "video/films"}).out);
    const program_result missing = ds({"folders", "nope"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("ds: List folders in nope failed (code 408: File does not exist)\n", missing.err);
}

TEST_F(CliE2E, WatchRedrawsUntilCountOrInterrupt)
{
    const std::string header = "Tasks on 127.0.0.1:" + port() + ", every 0 s (Ctrl-C stops)\n";
    const program_result three = ds({"watch", "--count", "3", "--interval", "0"});
    EXPECT_EQ(0, three.status);
    EXPECT_EQ(3u, count_of(three.out, header)) << three.out;
    EXPECT_EQ(3u, count_of(three.out, "No tasks\n"));
    EXPECT_EQ(3u, count_of(three.out, "Download  0 B/s\n"));

    EXPECT_EQ("[]\n[]\n", ds({"--json", "watch", "--count", "2", "--interval", "0"}).out);

    std::vector<std::string> env = station_env();
    child_process endless(DS_CLI_PATH, {"-v", "watch", "--interval", "0.05"}, env, true);
    ASSERT_TRUE(endless.wait_for_output("Tasks on", std::chrono::seconds(30)));
    EXPECT_EQ(0, endless.finish(SIGINT, std::chrono::seconds(30)));
    EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: logged out\n", endless.err());
}

}  // namespace
