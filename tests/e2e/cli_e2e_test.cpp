// The command-line tool against the simulated station: exit status, what it
// prints and what it says on stderr.
#include "sim_process.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const std::vector<std::string> no_station = {"DS_HOST",  "DS_PORT",        "DS_USER",      "DS_PASSWORD",
                                             "DS_TIMEOUT", "DS_HTTPS",     "DS_FINGERPRINT", "DS_CA_FILE",
                                             "DS_OTP",   "DS_DEVICE_ID",   "DS_DEVICE_NAME", "NO_COLOR"};

const std::string exit_statuses =
    "Exit status:\n"
    "  0    done\n"
    "  1    the station refused the request, or part of it (each item's outcome is told)\n"
    "  2    usage: unknown command or option, bad value, no password to read\n"
    "  3    sign-in refused: account, password or 2-step verification code\n"
    "  4    station unreachable: no connection, no answer within the time-out, TLS failure\n"
    "  130  interrupted by Ctrl-C (what was done so far is told)\n";

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

std::string name_of(const std::string &change) { return change.substr(0, change.find('=')); }

// Environment changes ("NAME=VALUE" sets, "NAME" removes) with more of
// them: a later change of a name replaces the earlier one.
std::vector<std::string> with(const std::vector<std::string> &env, const std::vector<std::string> &changes)
{
    std::vector<std::string> out;
    for (const std::string &change : env) {
        const bool replaced = std::any_of(changes.begin(), changes.end(),
                                          [&](const std::string &c) { return name_of(c) == name_of(change); });
        if (!replaced) out.push_back(change);
    }
    out.insert(out.end(), changes.begin(), changes.end());
    return out;
}

// Standard output holds one JSON document and a line end, nothing else.
::testing::AssertionResult one_json_document(const std::string &out)
{
    rapidjson::Document doc;
    if (out.empty() || out.back() != '\n') return ::testing::AssertionFailure() << "no line end: " << out;
    doc.Parse(out.c_str(), out.size() - 1);
    if (doc.HasParseError()) return ::testing::AssertionFailure() << "not one JSON document: " << out;
    if (!doc.IsObject() && !doc.IsArray()) return ::testing::AssertionFailure() << "neither object nor array: " << out;
    return ::testing::AssertionSuccess();
}

// A loopback port that takes connections and never answers: the kernel
// completes each connection, nothing reads it. closing: each connection is
// taken and closed at once, as a TLS port does with a plain request.
class mute_port {
public:
    explicit mute_port(bool closing)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), size) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        if (closing) closer_ = std::thread([this] { close_each(); });
    }
    ~mute_port()
    {
        stop_ = true;
        if (closer_.joinable()) closer_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }

private:
    void close_each()
    {
        while (!stop_) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 20) <= 0) continue;
            const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) ::close(connection);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread closer_;
};

class CliE2E : public ::testing::Test {
protected:
    std::unique_ptr<sim_process> sim;

    void SetUp() override
    {
        sim = std::make_unique<sim_process>(std::vector<std::string>{
            "--speed", "0", "--seed", "5", "--epoch", "1700000000", "--error-rate", "0"});
        ASSERT_NE(0, sim->port());
    }

    // The station must stop cleanly: a sanitizer's report in it would make
    // its exit status non-zero.
    void TearDown() override { EXPECT_EQ(0, sim->stop(SIGTERM)); }

    std::string port() const { return std::to_string(sim->port()); }

    std::vector<std::string> station_env() const
    {
        return with(no_station, {"DS_HOST=127.0.0.1", "DS_PORT=" + port(), "DS_USER=admin", "DS_PASSWORD=admin"});
    }

    program_result ds(const std::vector<std::string> &args, const std::string &input = "") const
    {
        return run_program(DS_CLI_PATH, args, station_env(), input);
    }

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
    EXPECT_EQ("{\"version\":\"2.0.0\"}\n", run_program(DS_CLI_PATH, {"--json", "version"}, no_station).out);
}

// Each usage error exits with 2, names what is wrong and sends nothing.
TEST_F(CliE2E, UsageErrorsNameWhatIsWrong)
{
    struct usage_case {
        std::vector<std::string> args;
        std::string err;
    };
    const usage_case cases[] = {
        {{}, "ds: A subcommand is required\nRun with --help for more information.\n"},
        {{"frobnicate"}, "ds: unknown command \"frobnicate\"; the closest is \"list\" (ds --help lists them all)\n"},
        {{"pasue", "dbid_1"}, "ds: unknown command \"pasue\"; the closest is \"pause\" (ds --help lists them all)\n"},
        {{"--json", "sahres"}, "ds: unknown command \"sahres\"; the closest is \"shares\" (ds --help lists them all)\n"},
        {{"list", "-s", "downloding"},
         "ds: unknown status \"downloding\"; the statuses are waiting, downloading, paused, finishing, finished, "
         "hash_checking, seeding, filehosting_waiting, extracting, error; or all\n"},
        {{"watch", "-s", "paused|Seeding;stopped"},
         "ds: unknown status \"stopped\"; the statuses are waiting, downloading, paused, finishing, finished, "
         "hash_checking, seeding, filehosting_waiting, extracting, error; or all\n"},
        {{"list", "-s", ", ;"},
         "ds: --status needs a status: waiting, downloading, paused, finishing, finished, hash_checking, seeding, "
         "filehosting_waiting, extracting, error; or all\n"},
        {{"limit"}, "ds: give --down, --up or both (KB/s; 0 means no limit)\n"},
        {{"limit", "--down", "-1"},
         "ds: --down: -1 is out of range: give a whole number of 0 or more\nRun with --help for more information.\n"},
        {{"--port", "0", "ping"},
         "ds: --port: 0 is out of range: give a whole number from 1 to 65535\nRun with --help for more "
         "information.\n"},
        {{"folders", "video", "--depth", "33"},
         "ds: --depth: 33 is out of range: give a whole number from 1 to 32\nRun with --help for more information.\n"},
        {{"watch", "--interval", "-0.5"},
         "ds: --interval: -0.5 is out of range: give a number of 0 or more\nRun with --help for more "
         "information.\n"},
        {{"--insecure", "ping"}, "ds: --insecure requires --https\nRun with --help for more information.\n"},
        {{"pause", ","}, "ds: give the ids of the tasks\n"},
        {{"add"}, "ds: give URLs, or --from FILE (- for standard input)\n"},
        {{"--timeout", "0", "ping"}, "ds: Invalid timeout: 0 (must be between 1 and 300 seconds)\n"},
    };
    for (const usage_case &c : cases) {
        const program_result r = ds(c.args);
        SCOPED_TRACE(c.err);
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(c.err, r.err);
        if (!c.args.empty() && c.args[0] == "--json") EXPECT_TRUE(one_json_document(r.out));
        else EXPECT_EQ("", r.out);
    }
    const program_result nameless = run_program(DS_CLI_PATH, {"ping"}, with(station_env(), {"DS_DEVICE_ID=abc"}));
    EXPECT_EQ(2, nameless.status);
    EXPECT_EQ("ds: DS_DEVICE_ID needs the name the device was trusted as, in DS_DEVICE_NAME\n", nameless.err);
    const program_result no_host = run_program(DS_CLI_PATH, {"list"}, no_station);
    EXPECT_EQ(2, no_host.status);
    EXPECT_EQ("ds: give the station with --host (or DS_HOST) and --user (or DS_USER)\n", no_host.err);
    EXPECT_EQ("No tasks\n", ds({"list"}).out);
}

// The password is read from standard input only when asked to: a list of
// URLs on a pipe is never taken for it.
TEST_F(CliE2E, PasswordFromEnvironmentStandardInputOrNothing)
{
    const std::string accepted = "The station at 127.0.0.1:" + port() + " accepts the session of admin\n";
    EXPECT_EQ(accepted, ds({"ping"}).out);

    const std::vector<std::string> no_password = with(station_env(), {"DS_PASSWORD"});
    const program_result piped_urls =
        run_program(DS_CLI_PATH, {"add", "--from", "-"}, no_password, "https://example.org/1\nhttps://example.org/2\n");
    EXPECT_EQ(2, piped_urls.status);
    EXPECT_EQ("", piped_urls.out);
    EXPECT_EQ("ds: no password: set DS_PASSWORD, or give --password-stdin to read it from standard input (ds asks "
              "for it only on a terminal)\n",
              piped_urls.err);
    EXPECT_EQ("No tasks\n", ds({"list"}).out);

    const program_result from_input =
        run_program(DS_CLI_PATH, {"--password-stdin", "ping"}, no_password, "admin\nnot read\n");
    EXPECT_EQ(0, from_input.status);
    EXPECT_EQ(accepted, from_input.out);
    const program_result crlf = run_program(DS_CLI_PATH, {"--password-stdin", "ping"}, no_password, "admin\r\n");
    EXPECT_EQ(0, crlf.status) << crlf.err;
    const program_result empty_input = run_program(DS_CLI_PATH, {"--password-stdin", "ping"}, no_password, "");
    EXPECT_EQ(2, empty_input.status);
    EXPECT_EQ("ds: --password-stdin: standard input holds no password\n", empty_input.err);
    const program_result both =
        run_program(DS_CLI_PATH, {"--password-stdin", "add", "--from", "-"}, no_password, "admin\nhttps://x/1\n");
    EXPECT_EQ(2, both.status);
    EXPECT_EQ("ds: --password-stdin and --from - cannot both read standard input\n", both.err);

    const program_result from_flags = run_program(
        DS_CLI_PATH, {"--host", "127.0.0.1", "--port", port(), "--user", "admin", "-v", "ping"},
        with(no_station, {"DS_PASSWORD=admin"}));
    EXPECT_EQ(0, from_flags.status);
    EXPECT_EQ(accepted, from_flags.out);
    EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: logged out\n", from_flags.err);
}

// On a terminal ds asks, and what is typed is not echoed.
TEST_F(CliE2E, PasswordPromptOnATerminal)
{
    const program_result r = run_on_terminal(DS_CLI_PATH, {"ping"}, with(station_env(), {"DS_PASSWORD"}),
                                             {{"Password for admin at 127.0.0.1:" + port() + ": ", "admin\n"}});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Password for admin at 127.0.0.1:" + port() + ": \nThe station at 127.0.0.1:" + port() +
                  " accepts the session of admin\n",
              r.out);
}

// 0 done, 1 refused, 2 usage, 3 sign-in refused, 4 unreachable; with --json
// the failure is also one document on standard output.
TEST_F(CliE2E, ExitStatusTellsFailuresApart)
{
    const program_result refused = ds({"--json", "show", "dbid_9"});
    EXPECT_EQ(1, refused.status);
    EXPECT_EQ("{\"error\":\"Task dbid_9 not found (code 404: Invalid task id)\",\"exit_status\":1,\"code\":404}\n",
              refused.out);
    EXPECT_EQ("ds: Task dbid_9 not found (code 404: Invalid task id)\n", refused.err);

    const program_result wrong_password = run_program(DS_CLI_PATH, {"--json", "ping"},
                                                      with(station_env(), {"DS_PASSWORD=wrong"}));
    EXPECT_EQ(3, wrong_password.status);
    EXPECT_EQ(0u, wrong_password.err.find("ds: Login failed (code 400: ")) << wrong_password.err;
    EXPECT_EQ(0u, wrong_password.out.find("{\"error\":\"Login failed (code 400: ")) << wrong_password.out;
    EXPECT_NE(std::string::npos, wrong_password.out.find("\"exit_status\":3,\"code\":400}\n"));

    const int stopped_port = sim->port();
    ASSERT_EQ(0, sim->stop(SIGTERM));
    const std::string station = "127.0.0.1:" + std::to_string(stopped_port);
    const program_result unreachable = ds({"list"});
    EXPECT_EQ(4, unreachable.status);
    EXPECT_EQ("ds: HTTP connect failed: Failed to connect to " + station + "\n", unreachable.err);
    EXPECT_EQ("", unreachable.out);
}

// A port that answers nothing gives the library's "Empty response from
// server"; ds adds that nothing came within the time-out and that an HTTPS
// port needs --https.
TEST_F(CliE2E, NoAnswerSaysWhatToTry)
{
    for (const bool closing : {false, true}) {
        SCOPED_TRACE(closing ? "closes at once" : "silent");
        mute_port mute(closing);
        ASSERT_NE(0, mute.port());
        const std::string station = "127.0.0.1:" + std::to_string(mute.port());
        const program_result r =
            run_program(DS_CLI_PATH, {"--port", std::to_string(mute.port()), "--timeout", "1", "ping"}, station_env());
        EXPECT_EQ(4, r.status);
        EXPECT_EQ("ds: HTTP connect failed: Empty response from server\n"
                  "ds: nothing came back from " + station +
                      " within the time-out (1 second); a port that serves HTTPS (5001 on a NAS) needs --https\n",
                  r.err);
    }
}

TEST_F(CliE2E, AddListShowAndActOnTasks)
{
    EXPECT_EQ("Added https://example.org/isos/debian-12.iso\n",
              ds({"add", "https://example.org/isos/debian-12.iso", "-d", "downloads"}).out);

    const program_result batch =
        ds({"add", "ftp://ftp.example.org/pub/a.tar.gz", "magnet:?xt=urn:btih:abc&dn=Big+Buck+Bunny",
            "gopher://example.org/x", "-d", "video/new"});
    EXPECT_EQ(1, batch.status);
    EXPECT_EQ("Added ftp://ftp.example.org/pub/a.tar.gz\nAdded magnet:?xt=urn:btih:abc&dn=Big+Buck+Bunny\n"
              "Added 2 of 3 URLs\n",
              batch.out);
    EXPECT_EQ("ds: gopher://example.org/x: Add URL failed (code 101: Invalid parameter)\n", batch.err);

    const program_result from_input =
        ds({"add", "--from", "-"}, "http://example.org/1.bin\n\n  http://example.org/2.bin\n");
    EXPECT_EQ(0, from_input.status);
    EXPECT_EQ("Added http://example.org/1.bin\nAdded http://example.org/2.bin\nAdded 2 of 2 URLs\n", from_input.out);

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
    const std::vector<std::string> bare = lines_of(ds({"-q", "list", "--status", "WAITING"}).out);
    ASSERT_EQ(6u, bare.size());
    EXPECT_EQ("dbid_1  waiting  [--------------------]   0.0%  849.3 MiB  -  -  -  debian-12.iso", bare[0]);
    EXPECT_EQ("", ds({"--no-headers", "list", "-s", "paused"}).out);

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

    EXPECT_EQ("Paused dbid_1\nPaused dbid_2\nPaused 2 of 2 tasks\n", ds({"pause", "dbid_1", "dbid_2"}).out);
    EXPECT_EQ("Paused 4 tasks\n", ds({"pause-all"}).out);
    EXPECT_EQ("{\"paused\":0}\n", ds({"--json", "pause-all"}).out);
    EXPECT_EQ("Resumed 6 tasks\n", ds({"resume-all"}).out);
    EXPECT_EQ("Deleted dbid_6\n", ds({"delete", "dbid_6"}).out);

    const program_result unknown = ds({"pause", "dbid_9"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ("", unknown.out);
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

// Acting on several items tells which were done and which failed, and why.
TEST_F(CliE2E, SeveralItemsReportEachOutcome)
{
    ASSERT_EQ(0, ds({"add", "--from", "-"}, "https://example.org/a\nhttps://example.org/b\n").status);

    const program_result mixed = ds({"pause", "dbid_2", "dbid_404,dbid_1"});
    EXPECT_EQ(1, mixed.status);
    EXPECT_EQ("Paused dbid_2\nPaused dbid_1\nPaused 2 of 3 tasks\n", mixed.out);
    EXPECT_EQ("ds: Task dbid_404 pause failed (code 404: Invalid task id)\n", mixed.err);
    EXPECT_EQ(2u, lines_of(ds({"-q", "list", "-s", "paused"}).out).size());

    const program_result json = ds({"--json", "resume", "dbid_1", "dbid_404"});
    EXPECT_EQ(1, json.status);
    EXPECT_EQ(R"j([{"id":"dbid_1","ok":true},)j"
              R"j({"id":"dbid_404","ok":false,"error":"Task dbid_404 resume failed (code 404: Invalid task id)",)j"
              R"j("code":404}])j"
              "\n",
              json.out);

    const program_result urls = ds({"--json", "add", "gopher://example.org/x\nhttps://example.org/c"});
    EXPECT_EQ(1, urls.status);
    EXPECT_EQ(R"j([{"url":"gopher://example.org/x","ok":false,"error":"Add URL failed (code 101: Invalid parameter)",)j"
              R"j("code":101},{"url":"https://example.org/c","ok":true}])j"
              "\n",
              urls.out);
    EXPECT_EQ("ds: gopher://example.org/x: Add URL failed (code 101: Invalid parameter)\n", urls.err);

    const program_result all_done = ds({"--json", "delete", "dbid_3"});
    EXPECT_EQ(0, all_done.status);
    EXPECT_EQ("[{\"id\":\"dbid_3\",\"ok\":true}]\n", all_done.out);
}

// URLs are counted and added by the library's rule: lines end at CR or LF in
// any mix, blanks around each are trimmed, empty lines dropped.
TEST_F(CliE2E, UrlListsSplitAsTheLibrarySplitsThem)
{
    struct split_case {
        const char *name;
        std::string input;
        std::string out;
    };
    const split_case cases[] = {
        {"CR alone", "http://a.example/1\rhttp://a.example/2",
         "Added http://a.example/1\nAdded http://a.example/2\nAdded 2 of 2 URLs\n"},
        {"CR LF and blank lines", "\r\n http://a.example/3 \r\n\r\n\t\v\f\r\nhttp://a.example/4\r\n",
         "Added http://a.example/3\nAdded http://a.example/4\nAdded 2 of 2 URLs\n"},
        {"LF CR mix, no last line end", "http://a.example/5\n\rhttp://a.example/6\r\rhttp://a.example/7",
         "Added http://a.example/5\nAdded http://a.example/6\nAdded http://a.example/7\nAdded 3 of 3 URLs\n"},
        {"one URL", "  http://a.example/8  \n", "Added http://a.example/8\n"},
    };
    for (const split_case &c : cases) {
        SCOPED_TRACE(c.name);
        const program_result r = ds({"add", "--from", "-"}, c.input);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.out, r.out);
    }
    EXPECT_EQ(8u, lines_of(ds({"-q", "list"}).out).size());

    const program_result blank = ds({"add", "--from", "-"}, " \r\n\t\n");
    EXPECT_EQ(2, blank.status);
    EXPECT_EQ("ds: no URL in standard input\n", blank.err);
}

// A file that cannot be read is named with the reason, and ds signs out.
TEST_F(CliE2E, UnreadableUrlFileSaysWhy)
{
    const std::string missing = ::testing::TempDir() + "no-such-urls.txt";
    const std::string folder = ::testing::TempDir();
    const struct {
        std::string path, reason;
    } cases[] = {{folder, "Is a directory"}, {missing, "No such file or directory"}};
    for (const auto &c : cases) {
        const program_result r = ds({"-v", "add", "https://example.org/never", "--from", c.path});
        EXPECT_EQ(2, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: cannot read " + c.path + ": " + c.reason +
                      "\nds: logged out\n",
                  r.err);
    }
    EXPECT_EQ("No tasks\n", ds({"list"}).out);
}

// Ctrl-C during a batch stops after the URL being added, tells how far it
// got and signs out. The URLs come through a FIFO that stays open, so ds is
// still reading when it is interrupted.
TEST_F(CliE2E, InterruptStopsABatchAndSignsOut)
{
    const std::string fifo = ::testing::TempDir() + "ds-urls-" + std::to_string(::getpid());
    ::unlink(fifo.c_str());
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    child_process add(DS_CLI_PATH, {"-v", "add", "--from", fifo}, station_env(), true);
    const std::string urls = "http://example.org/1.bin\nhttp://example.org/2.bin\n";
    ASSERT_EQ(static_cast<ssize_t>(urls.size()), ::write(writer, urls.data(), urls.size()));
    ASSERT_TRUE(add.wait_for_output("Added http://example.org/2.bin\n", std::chrono::seconds(30))) << add.out();
    EXPECT_EQ(130, add.finish(SIGINT, std::chrono::seconds(30)));
    ::close(writer);
    ::unlink(fifo.c_str());
    EXPECT_EQ("Added http://example.org/1.bin\nAdded http://example.org/2.bin\nAdded 2 of 2 URLs\n", add.out());
    EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: interrupted; the rest of " + fifo +
                  " was not read\nds: logged out\n",
              add.err());
}

// Under --json every command prints exactly one JSON document.
TEST_F(CliE2E, JsonIsAlwaysOneDocument)
{
    ASSERT_EQ(0, ds({"add", "https://example.org/a.iso"}).status);
    const std::string torrent = ::testing::TempDir() + "json.torrent";
    std::ofstream(torrent, std::ios::binary) << "d4:infod6:lengthi10e4:name4:filee";
    const std::vector<std::vector<std::string>> commands = {
        {"version"}, {"ping"}, {"list"}, {"list", "-s", "waiting"}, {"show", "dbid_1"}, {"pause", "dbid_1"},
        {"resume", "dbid_1"}, {"pause-all"}, {"resume-all"}, {"delete-completed"}, {"add", "https://example.org/b"},
        {"add-torrent", torrent}, {"info"}, {"stats"}, {"config"}, {"limit", "--down", "10"}, {"destination"},
        {"destination", "video"}, {"shares"}, {"folders", "video"}, {"folders", "video", "--depth", "3"},
        {"watch", "--count", "1", "--interval", "0"}, {"delete", "dbid_1"}, {"show", "dbid_1"},
    };
    for (std::vector<std::string> args : commands) {
        SCOPED_TRACE(args[0]);
        args.insert(args.begin(), "--json");
        EXPECT_TRUE(one_json_document(ds(args).out));
    }
    EXPECT_EQ("{\"station\":\"127.0.0.1:" + port() + "\",\"user\":\"admin\",\"https\":false,\"accepted\":true}\n",
              ds({"--json", "ping"}).out);
    EXPECT_EQ("{\"default_destination\":\"video\"}\n", ds({"--json", "destination"}).out);
    EXPECT_EQ("{\"default_destination\":\"music\"}\n", ds({"--json", "destination", "/music"}).out);
    EXPECT_EQ("{\"bt_max_download\":0,\"bt_max_upload\":7}\n", ds({"--json", "limit", "--down", "0", "--up", "7"}).out);
    EXPECT_EQ("{\"bt_max_upload\":8}\n", ds({"--json", "limit", "--up", "8"}).out);
    EXPECT_EQ(R"([{"name":"films","path":"/video/films","isdir":true,"folders":)"
              R"([{"name":"classics","path":"/video/films/classics","isdir":true,"folders":[]}]},)"
              R"({"name":"new","path":"/video/new","isdir":true,"folders":[]},)"
              R"({"name":"series","path":"/video/series","isdir":true,"folders":[]}])"
              "\n",
              ds({"--json", "folders", "video", "--depth", "3"}).out);
    EXPECT_EQ(R"([{"name":"classics","path":"/video/films/classics","isdir":true}])"
              "\n",
              ds({"--json", "folders", "video/films"}).out);
}

TEST_F(CliE2E, StationCommands)
{
    EXPECT_EQ("is_manager      true\nversion         3566\nversion_string  3.8.16-3566\n", ds({"info"}).out);
    EXPECT_EQ("Download  0 B/s\nUpload    0 B/s\n", ds({"stats"}).out);
    EXPECT_EQ("BitTorrent limits set: download 500 KB/s, upload unchanged\n", ds({"limit", "--down", "500"}).out);
    EXPECT_EQ("BitTorrent limits set: download unchanged, upload unlimited\n", ds({"limit", "--up", "0"}).out);
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

// Without --dest the download goes to the station's default folder: ds hands
// the library no destination.
TEST_F(CliE2E, NoDestinationMeansTheStationsDefault)
{
    ASSERT_EQ(0, ds({"destination", "music"}).status);
    ASSERT_EQ(0, ds({"add", "https://example.org/a.iso"}).status);
    rapidjson::Document task;
    task.Parse(ds({"--json", "show", "dbid_1"}).out.c_str());
    ASSERT_TRUE(task.IsObject() && task.HasMember("destination") && task["destination"].IsString());
    const std::string destination = task["destination"].GetString();
    if (destination == "personal") GTEST_SKIP() << "this library still sends \"personal\" for no destination";
    EXPECT_EQ("music", destination);
}

TEST_F(CliE2E, SharesAndFolderTree)
{
    EXPECT_EQ("NAME       PATH        DESCRIPTION\n"
              "downloads  /downloads  Download Station's default folder\n"
              "music      /music      Music library\n"
              "personal   /personal   Personal files\n"
              "video      /video      Films and series\n",
              ds({"shares"}).out);
    EXPECT_EQ("downloads  /downloads  Download Station's default folder\n"
              "music      /music      Music library\n"
              "personal   /personal   Personal files\n"
              "video      /video      Films and series\n",
              ds({"-q", "shares"}).out);
    EXPECT_EQ("/video\n"
              "├── films\n"
              "│   └── classics\n"
              "├── new\n"
              "└── series\n",
              ds({"folders", "video", "--depth", "2"}).out);
    EXPECT_EQ("/video/films\n└── classics\n", ds({"folders", "/video/films"}).out);
    const program_result missing = ds({"folders", "nope"});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("ds: List folders in nope failed (code 408: File does not exist)\n", missing.err);
}

// Colour only on a terminal, and never with NO_COLOR set.
TEST_F(CliE2E, ColourOnlyOnATerminalWithoutNoColor)
{
    ASSERT_EQ(0, ds({"add", "https://example.org/a.iso"}).status);
    ASSERT_EQ(0, ds({"add", "https://example.org/b.iso"}).status);
    ASSERT_EQ(0, ds({"pause", "dbid_2"}).status);
    const program_result coloured = run_on_terminal(DS_CLI_PATH, {"-q", "list"}, station_env());
    EXPECT_EQ(0, coloured.status);
    const std::vector<std::string> rows = lines_of(coloured.out);
    ASSERT_EQ(2u, rows.size()) << coloured.out;
    EXPECT_EQ(0u, rows[0].find("dbid_1  \x1b[36mwaiting\x1b[0m  [")) << rows[0];
    EXPECT_EQ(0u, rows[1].find("dbid_2  \x1b[33mpaused\x1b[0m   [")) << rows[1];

    for (const char *no_color : {"NO_COLOR=1", "NO_COLOR="}) {
        const program_result plain = run_on_terminal(DS_CLI_PATH, {"-q", "list"}, with(station_env(), {no_color}));
        EXPECT_EQ(0, plain.status);
        EXPECT_EQ(std::string::npos, plain.out.find('\x1b')) << no_color;
        EXPECT_EQ(0u, plain.out.find("dbid_1  waiting  [")) << plain.out;
    }
    EXPECT_EQ(std::string::npos, ds({"list"}).out.find('\x1b'));
}

// Every command's help reads as a manual page: description, options,
// examples and the exit statuses.
TEST_F(CliE2E, HelpOfEveryCommand)
{
    const program_result main_help = run_program(DS_CLI_PATH, {"--help"}, no_station);
    EXPECT_EQ(0, main_help.status);
    EXPECT_NE(std::string::npos, main_help.out.find("\n\n" + exit_statuses)) << main_help.out;
    for (const char *name : {"version", "list", "show", "pause", "resume", "delete", "pause-all", "resume-all",
                             "delete-completed", "add", "add-torrent", "ping", "info", "stats", "config", "limit",
                             "destination", "shares", "folders", "watch"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(std::string::npos, main_help.out.find("\n  " + std::string(name) + " "));
        const program_result help = run_program(DS_CLI_PATH, {name, "--help"}, no_station);
        EXPECT_EQ(0, help.status);
        EXPECT_NE(std::string::npos, help.out.find("\nUsage: ds " + std::string(name) + " "));
        EXPECT_NE(std::string::npos, help.out.find("\nExamples:\n  ds ")) << help.out;
        EXPECT_NE(std::string::npos, help.out.find("\n\n" + exit_statuses)) << help.out;
    }
    const std::string limit = run_program(DS_CLI_PATH, {"limit", "--help"}, no_station).out;
    EXPECT_EQ(0u, limit.find("Set the BitTorrent download and upload limits in KB/s (0: none)\n")) << limit;
    const std::string add = run_program(DS_CLI_PATH, {"add", "--help"}, no_station).out;
    EXPECT_NE(std::string::npos, add.find("Without --dest the download goes to the station's default folder"));
}

TEST_F(CliE2E, WatchRedrawsUntilCountOrInterrupt)
{
    const std::string header = "Tasks on 127.0.0.1:" + port() + ", every 0 s (Ctrl-C stops)\n";
    const program_result three = ds({"watch", "--count", "3", "--interval", "0"});
    EXPECT_EQ(0, three.status);
    EXPECT_EQ(3u, count_of(three.out, header)) << three.out;
    EXPECT_EQ(3u, count_of(three.out, "No tasks\n"));
    EXPECT_EQ(3u, count_of(three.out, "Download  0 B/s\n"));

    EXPECT_EQ("{\"tasks\":[],\"stats\":{\"speed_download\":0,\"speed_upload\":0}}\n"
              "{\"tasks\":[],\"stats\":{\"speed_download\":0,\"speed_upload\":0}}\n",
              ds({"--json", "watch", "--count", "2", "--interval", "0"}).out);

    child_process endless(DS_CLI_PATH, {"-v", "watch", "--interval", "0.05"}, station_env(), true);
    ASSERT_TRUE(endless.wait_for_output("Tasks on", std::chrono::seconds(30)));
    EXPECT_EQ(0, endless.finish(SIGINT, std::chrono::seconds(30)));
    EXPECT_EQ("ds: logged in to 127.0.0.1:" + port() + " as admin\nds: logged out\n", endless.err());
}

// A failed task shows why it failed, in the list and in its details.
TEST(CliFailedTask, ShowsItsReason)
{
    sim_process sim({"--speed", "0", "--seed", "2", "--epoch", "1700000000", "--error-rate", "1"});
    ASSERT_NE(0, sim.port());
    const std::vector<std::string> env =
        with(no_station, {"DS_HOST=127.0.0.1", "DS_PORT=" + std::to_string(sim.port()), "DS_USER=admin",
                          "DS_PASSWORD=admin"});
    ASSERT_EQ(0, run_program(DS_CLI_PATH, {"add", "https://example.org/a.iso"}, env).status);
    ASSERT_TRUE(sim.advance(3 * 3600));
    const program_result list = run_program(DS_CLI_PATH, {"-q", "list"}, env);
    EXPECT_EQ("dbid_1  error  [########------------]  44.0%  813.7 MiB  -  -  -  a.iso (Disk full)\n", list.out);
    const program_result show = run_program(DS_CLI_PATH, {"show", "dbid_1"}, env);
    EXPECT_NE(std::string::npos, show.out.find("\nStatus       error\n")) << show.out;
    EXPECT_NE(std::string::npos, show.out.find("\nError        Disk full\n")) << show.out;
    EXPECT_EQ(0, sim.stop(SIGTERM));
}

// watch outlasts an expired session and a station restart: it signs in
// again with the password it holds and says so on its status line.
TEST(CliWatch, SignsInAgainAfterExpiryAndRestart)
{
    const std::vector<std::string> options = {"--speed", "0", "--session-idle", "60", "--error-rate", "0"};
    auto first = std::make_unique<sim_process>(options);
    ASSERT_NE(0, first->port());
    const std::string port = std::to_string(first->port());
    const std::string station = "127.0.0.1:" + port;
    child_process watching(DS_CLI_PATH, {"-v", "watch", "--interval", "0.05"},
                           with(no_station, {"DS_HOST=127.0.0.1", "DS_PORT=" + port, "DS_USER=admin",
                                             "DS_PASSWORD=admin"}),
                           true);
    ASSERT_TRUE(watching.wait_for_output("Tasks on " + station, std::chrono::seconds(30)));
    ASSERT_TRUE(first->advance(120));
    ASSERT_TRUE(watching.wait_for_output(" (the session expired)\n", std::chrono::seconds(30))) << watching.out();

    ASSERT_EQ(0, first->stop(SIGTERM));
    ASSERT_TRUE(watching.wait_for_output("; no answer since ", std::chrono::seconds(30))) << watching.out();
    std::vector<std::string> again = options;
    again.insert(again.end(), {"--port", port});
    sim_process second(again);
    ASSERT_EQ(first->port(), second.port()) << "the port was taken meanwhile";
    ASSERT_TRUE(watching.wait_for_output(" (the station no longer knew the session)\n", std::chrono::seconds(30)))
        << watching.out();
    EXPECT_EQ(0, watching.finish(SIGINT, std::chrono::seconds(30)));
    EXPECT_NE(std::string::npos,
              watching.out().find("Tasks on " + station + ", every 0.05 s (Ctrl-C stops); no answer since "));
    EXPECT_NE(std::string::npos, watching.out().find("(HTTP list request failed: Failed to connect to " + station +
                                                     "), trying again\n"));
    const std::string signed_in = "ds: logged in to " + station + " as admin\n";
    EXPECT_EQ(signed_in + signed_in + signed_in + "ds: logged out\n", watching.err());
    EXPECT_EQ(0, second.stop(SIGTERM));
}


// The simulated station over HTTPS, as a separate process; port 0 when this
// build's station cannot serve HTTPS.
class https_station {
public:
    https_station()
        : process_(SIM_SERVER_PATH, {"--port", "0", "--https", "--speed", "0", "--error-rate", "0"}, {}, false)
    {
        const std::string listening = "listening on 127.0.0.1:";
        const std::string printed = "\ncertificate SHA-256 fingerprint ";
        // The station prints each line whole, so the line is complete once
        // its start is there.
        if (!process_.wait_for_output(printed, std::chrono::seconds(30))) return;
        const std::string &out = process_.out();
        const size_t at = out.find(printed) + printed.size();
        fingerprint_ = out.substr(at, out.find('\n', at) - at);
        if (out.compare(0, listening.size(), listening) == 0) port_ = std::atoi(out.c_str() + listening.size());
    }
    ~https_station() { process_.finish(SIGTERM, std::chrono::seconds(30)); }

    int port() const { return port_; }
    const std::string &fingerprint() const { return fingerprint_; }

private:
    child_process process_;
    int port_ = 0;
    std::string fingerprint_;
};

std::vector<std::string> env_for(int port, const std::vector<std::string> &changes = {})
{
    return with(with(no_station, {"DS_HOST=127.0.0.1", "DS_PORT=" + std::to_string(port), "DS_USER=admin",
                                  "DS_PASSWORD=admin"}),
                changes);
}

// With --https, a station whose certificate is not trusted is refused, and
// ds shows its fingerprint and how to trust it; the fingerprint, or
// --insecure (with a warning), lets ds in.
TEST(CliHttps, TrustTheStationsCertificate)
{
    https_station station;
    if (station.port() == 0) GTEST_SKIP() << "this build's simulated station serves no HTTPS";
    const std::string fp = station.fingerprint();
    ASSERT_EQ(95u, fp.size()) << fp;  // 32 bytes as hex pairs joined by colons
    const std::string where = "127.0.0.1:" + std::to_string(station.port());
    const std::string accepted = "The station at " + where + " accepts the session of admin\n";

    const program_result untrusted = run_program(DS_CLI_PATH, {"--https", "ping"}, env_for(station.port()));
    EXPECT_EQ(4, untrusted.status);
    EXPECT_EQ(0u, untrusted.err.find("ds: HTTP connect failed: Certificate not trusted: ")) << untrusted.err;
    EXPECT_NE(std::string::npos,
              untrusted.err.find(")\nds: the station's certificate has the SHA-256 fingerprint " + fp +
                                 "\nds: if the NAS shows the same (Control Panel, Security, Certificate), trust it "
                                 "with\nds:   --fingerprint " + fp + "  (or DS_FINGERPRINT=" + fp + ")\n"))
        << untrusted.err;

    const program_result pinned = run_program(DS_CLI_PATH, {"--https", "--fingerprint", fp, "ping"},
                                              env_for(station.port()));
    EXPECT_EQ(0, pinned.status) << pinned.err;
    EXPECT_EQ(accepted, pinned.out);
    std::string bare;
    for (char c : fp)
        if (c != ':') bare += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const program_result from_env =
        run_program(DS_CLI_PATH, {"--json", "ping"}, env_for(station.port(), {"DS_HTTPS=1", "DS_FINGERPRINT=" + bare}));
    EXPECT_EQ(0, from_env.status) << from_env.err;
    EXPECT_EQ("{\"station\":\"" + where + "\",\"user\":\"admin\",\"https\":true,\"accepted\":true}\n", from_env.out);

    const program_result insecure = run_program(DS_CLI_PATH, {"--https", "--insecure", "ping"}, env_for(station.port()));
    EXPECT_EQ(0, insecure.status);
    EXPECT_EQ(accepted, insecure.out);
    EXPECT_EQ("ds: warning: --insecure: the station's certificate is not checked; anyone on the way can read the "
              "password\n",
              insecure.err);

    const program_result mismatch = run_program(DS_CLI_PATH, {"--https", "--fingerprint", std::string(64, '0'), "ping"},
                                                env_for(station.port()));
    EXPECT_EQ(4, mismatch.status);
    EXPECT_NE(std::string::npos, mismatch.err.find("\nds: the station presented the certificate " + fp +
                                                   ", not the one given with --fingerprint;\n"))
        << mismatch.err;

    const program_result plain = run_program(DS_CLI_PATH, {"--timeout", "2", "ping"}, env_for(station.port()));
    EXPECT_EQ(4, plain.status);
    EXPECT_EQ("ds: HTTP connect failed: Empty response from server\nds: nothing came back from " + where +
                  " within the time-out (2 seconds); a port that serves HTTPS (5001 on a NAS) needs --https\n",
              plain.err);
}

const char *const otp_secret = "JBSWY3DPEHPK3PXP";

// The station's current 2-step verification code (its GET /sim/otp): the
// first six digits of the answer's "code" (a string, or a number padded
// with zeros), else of its body.
std::string current_code(const sim_process &sim)
{
    const std::string body = sim.get("/sim/otp").body;
    rapidjson::Document answer;
    answer.Parse(body.c_str());
    const rapidjson::Value *holder = &answer;
    if (answer.IsObject() && answer.HasMember("data")) holder = &answer["data"];
    if (holder->IsObject() && holder->HasMember("code")) {
        const rapidjson::Value &code = (*holder)["code"];
        if (code.IsString()) return code.GetString();
        if (code.IsUint()) {
            char text[16];
            std::snprintf(text, sizeof text, "%06u", code.GetUint());
            return text;
        }
    }
    std::string digits;
    for (char c : body)
        if (std::isdigit(static_cast<unsigned char>(c)) && digits.size() < 6) digits += c;
    return digits;
}

// An account with 2-step verification: the code from DS_OTP or a prompt on
// a terminal; --trust-device has the station trust this device, and its id
// then signs in without a code.
TEST(CliTwoStep, CodeFromEnvironmentOrPromptAndTrustedDevice)
{
    sim_process sim({"--speed", "0", "--error-rate", "0", "--otp-secret", otp_secret});
    if (sim.port() == 0) GTEST_SKIP() << "this build's simulated station has no 2-step verification";
    const std::string where = "127.0.0.1:" + std::to_string(sim.port());
    const std::string accepted = "The station at " + where + " accepts the session of admin\n";

    const program_result no_code = run_program(DS_CLI_PATH, {"ping"}, env_for(sim.port()));
    EXPECT_EQ(3, no_code.status);
    const std::vector<std::string> said = lines_of(no_code.err);
    ASSERT_EQ(2u, said.size()) << no_code.err;
    EXPECT_EQ(0u, said[0].find("ds: Login failed (code 403: ")) << said[0];
    EXPECT_EQ("ds: this account signs in with a 2-step verification code: set DS_OTP, or run ds on a terminal",
              said[1]);

    const program_result with_code = run_program(DS_CLI_PATH, {"ping"}, env_for(sim.port(), {"DS_OTP=" + current_code(sim)}));
    EXPECT_EQ(0, with_code.status) << with_code.err;
    EXPECT_EQ(accepted, with_code.out);

    std::string wrong = current_code(sim);
    ASSERT_EQ(6u, wrong.size());
    wrong[0] = wrong[0] == '9' ? '0' : static_cast<char>(wrong[0] + 1);
    const program_result wrong_code = run_program(DS_CLI_PATH, {"ping"}, env_for(sim.port(), {"DS_OTP=" + wrong}));
    EXPECT_EQ(3, wrong_code.status);
    EXPECT_EQ(0u, wrong_code.err.find("ds: Login failed (code 404: ")) << wrong_code.err;

    const std::string prompt = "2-step verification code for admin at " + where + ": ";
    const program_result asked = run_on_terminal(DS_CLI_PATH, {"ping"}, env_for(sim.port()),
                                                 {{prompt, current_code(sim) + "\n"}});
    EXPECT_EQ(0, asked.status) << asked.out;
    EXPECT_NE(std::string::npos, asked.out.find(accepted)) << asked.out;

    const program_result trusted = run_program(DS_CLI_PATH, {"--trust-device", "laptop", "ping"},
                                               env_for(sim.port(), {"DS_OTP=" + current_code(sim)}));
    EXPECT_EQ(0, trusted.status) << trusted.err;
    const std::string told = "ds: the station trusts this device now; to sign in without a code, keep\n"
                             "ds:   DS_DEVICE_NAME=laptop DS_DEVICE_ID=";
    ASSERT_EQ(0u, trusted.err.find(told)) << trusted.err;
    const std::string device_id = trusted.err.substr(told.size(), trusted.err.find('\n', told.size()) - told.size());
    ASSERT_FALSE(device_id.empty());

    const program_result as_device = run_program(
        DS_CLI_PATH, {"ping"}, env_for(sim.port(), {"DS_DEVICE_NAME=laptop", "DS_DEVICE_ID=" + device_id}));
    EXPECT_EQ(0, as_device.status) << as_device.err;
    EXPECT_EQ(accepted, as_device.out);
    const program_result unknown_device = run_program(
        DS_CLI_PATH, {"ping"}, env_for(sim.port(), {"DS_DEVICE_NAME=laptop", "DS_DEVICE_ID=not" + device_id}));
    EXPECT_EQ(3, unknown_device.status);
}

}  // namespace
