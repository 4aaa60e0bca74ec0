#include "synology_ds.h"
#include "synology.h"
#include "client_fixture.h"
#include "test_host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char task_cgi[] = "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1";
const char list_line[] =
    "GET /webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=list&_sid=SID HTTP/1.1";
const char ok_answer[] = R"({"success":true})";

class TaskCommandTest : public client_test {
protected:
    fs::path dir;

    void SetUp() override
    {
        dir = make_unique_dir(::testing::TempDir(), "task_command_");
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
        client_test::TearDown();
    }

    std::string write_file(const std::string &name, const std::string &content) const
    {
        fs::path path = dir / name;
        fs::create_directories(path.parent_path());  // on Windows a backslash separates folders too
        std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        return path.string();
    }

    std::string host_line() const { return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"; }

    // The value of "filename" in the last upload's file part.
    std::string sent_file_name() const
    {
        std::string body = last_request_body();
        size_t from = body.find("filename=\"");
        if (from == std::string::npos) return "<none>";
        from += 10;
        return body.substr(from, body.find("\"\r\n", from) - from);
    }

    // The value of the last upload's destination part.
    std::string sent_destination() const
    {
        std::string body = last_request_body();
        const std::string part = "name=\"destination\"\r\n\r\n";
        size_t from = body.find(part);
        if (from == std::string::npos) return "<none>";
        from += part.size();
        return body.substr(from, body.find("\r\n", from) - from);
    }

    struct destination_case {
        const char *given;
        std::string sent;  // what the request carries for it
    };

    // Adds once with each destination, the station accepting every one, and
    // reads with sent what the request carried.
    void expect_destinations(const std::vector<destination_case> &cases, const std::function<int(const char *)> &add,
                             const std::function<std::string()> &sent)
    {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.given ? c.given : "null");
            server.answer_json(ok_answer);
            EXPECT_EQ(0, add(c.given));
            EXPECT_STREQ("", ds_last_error());
            EXPECT_EQ(c.sent, sent());
        }
    }
};

// ---- actions by id ---------------------------------------------------------------

TEST_F(TaskCommandTest, ActionRequestLines)
{
    log_in();
    struct line_case {
        const char *name;
        std::function<int()> call;
        const char *path;
    };
    const line_case cases[] = {
        {"pause two ids", [] { return ds_pause("A,B"); },
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=pause&id=A%2CB&_sid=SID"},
        {"resume encodes the ids", [] { return ds_resume("dbid_1 &x=y"); },
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=resume&id=dbid_1%20%26x%3Dy&_sid=SID"},
        {"delete without force", [] { return ds_delete("A,B", 0); },
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=delete&id=A%2CB&force_complete=false&_sid=SID"},
        {"delete with force", [] { return ds_delete("A", -7); },
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=delete&id=A&force_complete=true&_sid=SID"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.answer_json(ok_answer);
        EXPECT_EQ(0, c.call());
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(get_line(c.path), last_request_line());
    }
}

TEST_F(TaskCommandTest, ActionCarriesTheSessionCookie)
{
    log_in(true);
    server.answer_json(ok_answer);
    EXPECT_EQ(0, ds_pause("A"));
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ("GET /webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=pause&id=A&_sid=SID "
              "HTTP/1.1\r\n" +
                  host_line() +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=SID; did=DID\r\n\r\n",
              server.last_request());
}

TEST_F(TaskCommandTest, EmptyIdsAreRefusedBeforeSending)
{
    log_in();
    const unsent_case cases[] = {
        {"pause", [] { return ds_pause(nullptr); }, -1, "Task IDs cannot be empty"},
        {"resume", [] { return ds_resume(""); }, -1, "Task IDs cannot be empty"},
        {"delete", [] { return ds_delete("", 1); }, -1, "Task IDs cannot be empty"},
    };
    expect_unsent(cases);
}

const answer_case<int> pause_answers[] = {
    {"success without data", R"({"success":true})", 0, ""},
    {"data an object", R"({"success":true,"data":{"id":"A","error":405}})", 0, ""},
    {"data an empty array", R"({"success":true,"data":[]})", 0, ""},
    {"every task fine", R"({"success":true,"data":[{"id":"A","error":0},{"id":"B"}]})", 0, ""},
    {"second task fails, third ignored",
     R"({"success":true,"data":[{"error":0,"id":"A"},{"error":405,"id":"B"},{"error":404,"id":"C"}]})", 405,
     "Task B pause failed (code 405: Invalid task action)"},
    {"failing task without id", R"({"success":true,"data":["x",{"error":405,"id":7}]})", 405,
     "Task  pause failed (code 405: Invalid task action)"},
    {"errors that are not integers", R"({"success":true,"data":[{"error":"405","id":"A"},{"error":405.0,"id":"B"}]})",
     0, ""},
    {"station code", R"({"success":false,"error":{"code":105}})", 105,
     "pause failed (code 105: The logged in session does not have permission)"},
    {"station code 0", R"({"success":false,"error":{"code":0}})", -1, "pause failed (code 0: Synology error)"},
    {"no error member", R"({"success":false})", -1, "pause failed (code 0: Synology error)"},
    {"success not a JSON true", R"({"success":"true","data":[]})", -1, "pause failed (code 0: Synology error)"},
    {"not JSON", "<html>", -1, "Failed to parse pause JSON response: <html>"},
    {"empty body", "", -1, "Failed to parse pause JSON response: empty"},
};

TEST_F(TaskCommandTest, ActionAnswers)
{
    log_in();
    expect_answers(pause_answers, [] { return ds_pause("A,B,C"); });
    expect_answer(answer_case<int>{"resume transport", nullptr, -1, "HTTP resume failed: Empty response from server"},
                  [] { return ds_resume("A"); });
}

// ---- bulk actions ------------------------------------------------------------------

const char mixed_listing[] = R"({"success":true,"data":{"total":11,"tasks":[
    {"id":"a","status":"downloading"},
    {"id":"b","status":"PAUSED"},
    {"id":"c","status":"finished"},
    {"id":"d","status":"Error"},
    {"id":"e","status":"waiting"},
    {"id":"s1","status":"seeding"},
    {"id":"s2","status":"finishing"},
    {"id":"s3","status":"hash_checking"},
    {"id":"s4","status":"extracting"},
    {"id":"s5","status":"filehosting_waiting"},
    {"id":"p0","status":"paused\u0000x"},
    {"id":"i\u0000j","status":"downloading"},
    {"id":"f"},
    {"id":"g","status":5},
    {"status":"paused"},
    {"id":"","status":"paused"},
    {"id":7,"status":"finished"},
    "h"]}})";

TEST_F(TaskCommandTest, BulkActionsSelectByStatus)
{
    log_in();
    struct bulk_case {
        const char *name;
        int (*call)();
        int result;
        const char *action_path;
    };
    const bulk_case cases[] = {
        // Every textual status but paused, finished and error is paused:
        // seeding and the station's passing states too. A status holding a
        // NUL byte is not "paused", whatever comes before it.
        {"pause all", ds_pause_all, 8,
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=pause"
         "&id=a%2Ce%2Cs1%2Cs2%2Cs3%2Cs4%2Cs5%2Cp0&_sid=SID"},
        {"resume all", ds_resume_all, 1,
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=resume&id=b&_sid=SID"},
        {"delete completed", ds_delete_completed, 2,
         "/webapi/DownloadStation/task.cgi?api=SYNO.DownloadStation.Task&version=1&method=delete&id=c%2Cd"
         "&force_complete=false&_sid=SID"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clear_requests();
        server.answer_json(mixed_listing);
        server.answer_json(ok_answer);
        EXPECT_EQ(c.result, c.call());
        EXPECT_STREQ("", ds_last_error());
        std::vector<std::string> sent = server.requests();
        ASSERT_EQ(2u, sent.size());
        EXPECT_EQ(list_line, sent[0].substr(0, sent[0].find("\r\n")));
        EXPECT_EQ(get_line(c.action_path), sent[1].substr(0, sent[1].find("\r\n")));
    }
}

TEST_F(TaskCommandTest, BulkListingSuccessIsNotConsulted)
{
    log_in();
    server.answer_json(R"({"success":false,"data":{"tasks":[{"id":"x","status":"paused"},{"id":"y","status":"paused"},)"
                       R"({"id":"z","status":"paused"}]}})");
    server.answer_json(ok_answer);
    EXPECT_EQ(3, ds_resume_all());
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(get_line(std::string(task_cgi) + "&method=resume&id=x%2Cy%2Cz&_sid=SID"), last_request_line());
}

TEST_F(TaskCommandTest, BulkWithNothingSelectedSendsOnlyTheListing)
{
    log_in();
    const answer_case<int> listings[] = {
        {"none paused", R"({"success":true,"data":{"tasks":[{"id":"a","status":"downloading"}]}})", 0, ""},
        {"listing refused", R"({"success":false,"error":{"code":105}})", 0, ""},
        {"data an array", R"({"success":true,"data":[{"id":"p","status":"paused"}]})", 0, ""},
        {"tasks an object", R"({"success":true,"data":{"tasks":{"id":"p","status":"paused"}}})", 0, ""},
        {"no tasks", R"({"success":true,"data":{"tasks":[]}})", 0, ""},
        {"root an array", R"([1,2])", 0, ""},
    };
    const auto resume_all = [this] {
        server.clear_requests();
        return ds_resume_all();
    };
    expect_answers(listings, resume_all, [this] { EXPECT_EQ(1u, server.connection_count()); });
}

TEST_F(TaskCommandTest, BulkFailures)
{
    log_in();
    struct failure_case {
        const char *name, *listing, *action;
        const char *error;
        size_t requests;
    };
    const failure_case cases[] = {
        {"listing not JSON", "<html>", nullptr, "Failed to parse list JSON: <html>", 1},
        {"listing empty", "", nullptr, "Failed to parse list JSON: empty", 1},
        {"action refused", R"({"success":true,"data":{"tasks":[{"id":"a","status":"error"}]}})",
         R"({"success":false,"error":{"code":105}})",
         "delete failed (code 105: The logged in session does not have permission)", 2},
        {"action with a failing task", R"({"success":true,"data":{"tasks":[{"id":"a","status":"finished"}]}})",
         R"({"success":true,"data":[{"id":"a","error":404}]})", "Task a delete failed (code 404: Invalid task id)", 2},
        {"action not JSON", R"({"success":true,"data":{"tasks":[{"id":"a","status":"finished"}]}})", "oops",
         "Failed to parse delete JSON response: oops", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clear_requests();
        server.answer_json(c.listing);
        if (c.action) server.answer_json(c.action);
        EXPECT_EQ(-1, ds_delete_completed());
        EXPECT_STREQ(c.error, ds_last_error());
        EXPECT_EQ(c.requests, server.connection_count());
    }
    server.close_without_answer();
    EXPECT_EQ(-1, ds_pause_all());
    EXPECT_STREQ("HTTP list request failed: Empty response from server", ds_last_error());
}

// A listing of count tasks named task_000000000000001 and on (20 characters each).
std::vector<std::string> numbered_ids(int count)
{
    std::vector<std::string> ids;
    for (int i = 1; i <= count; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "task_%015d", i);
        ids.push_back(id);
    }
    return ids;
}

std::string listing_of(const std::vector<std::string> &ids, const char *status)
{
    std::string json = R"({"success":true,"data":{"tasks":[)";
    for (size_t i = 0; i < ids.size(); ++i)
        json += (i ? "," : "") + std::string(R"({"id":")") + ids[i] + R"(","status":")" + status + R"("})";
    return json + "]}}";
}

// The ids named by each action request, in order; empty when a request has another shape.
std::vector<std::vector<std::string>> ids_per_request(const std::vector<std::string> &requests, const std::string &method)
{
    const std::string head = "GET " + std::string(task_cgi) + "&method=" + method + "&id=";
    const std::string tail = "&_sid=SID HTTP/1.1";
    std::vector<std::vector<std::string>> named;
    for (const std::string &request : requests) {
        std::string line = request.substr(0, request.find("\r\n"));
        std::vector<std::string> ids;
        if (line.rfind(head, 0) == 0 && line.size() > head.size() + tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
            std::string list = line.substr(head.size(), line.size() - head.size() - tail.size());
            for (size_t from = 0;;) {
                size_t comma = list.find("%2C", from);
                ids.push_back(list.substr(from, comma - from));
                if (comma == std::string::npos) break;
                from = comma + 3;
            }
        }
        named.push_back(ids);
    }
    return named;
}

TEST_F(TaskCommandTest, BulkSplitsLongIdListsAndSendsEveryId)
{
    log_in();
    const std::vector<std::string> ids = numbered_ids(2000);
    server.answer_json(listing_of(ids, "downloading"));
    server.answer_always(script_server::json_response(ok_answer));
    EXPECT_EQ(2000, ds_pause_all());
    EXPECT_STREQ("", ds_last_error());

    std::vector<std::string> sent = server.requests();
    ASSERT_EQ(7u, sent.size());  // the listing and six actions
    sent.erase(sent.begin());
    std::vector<std::string> named;
    std::vector<size_t> group_sizes;
    for (const auto &group : ids_per_request(sent, "pause")) {
        group_sizes.push_back(group.size());
        named.insert(named.end(), group.begin(), group.end());
    }
    EXPECT_EQ(ids, named);  // each id once, in the station's order
    // 351 ids of 20 characters and their separators fill a request line to
    // 8183 bytes; one more would pass 8192.
    EXPECT_EQ((std::vector<size_t>{351, 351, 351, 351, 351, 245}), group_sizes);
    EXPECT_EQ(8181u, sent[0].find("\r\n"));
}

TEST_F(TaskCommandTest, BulkRequestLineMayFillEightKibibytesExactly)
{
    log_in();
    std::vector<std::string> ids = numbered_ids(350);
    ids.push_back(std::string(29, 'z'));  // brings the first request line to exactly 8192 bytes
    ids.push_back("x");
    server.answer_json(listing_of(ids, "waiting"));
    server.answer_always(script_server::json_response(ok_answer));
    EXPECT_EQ(352, ds_pause_all());
    EXPECT_STREQ("", ds_last_error());
    std::vector<std::string> sent = server.requests();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(8192u - 2, sent[1].find("\r\n"));
    EXPECT_EQ(get_line(std::string(task_cgi) + "&method=pause&id=x&_sid=SID"), sent[2].substr(0, sent[2].find("\r\n")));
}

TEST_F(TaskCommandTest, BulkStopsAtTheFirstFailingRequest)
{
    log_in();
    server.answer_json(listing_of(numbered_ids(2000), "paused"));
    server.answer_json(ok_answer);
    server.answer_json(R"({"success":true,"data":[{"id":"task_000000000000400","error":405}]})");
    EXPECT_EQ(-1, ds_resume_all());
    EXPECT_STREQ("Task task_000000000000400 resume failed (code 405: Invalid task action)", ds_last_error());
    EXPECT_EQ(3u, server.connection_count());
}

TEST_F(TaskCommandTest, BulkSendsAnIdLongerThanARequestAlone)
{
    log_in();
    const std::vector<std::string> ids = {std::string(9000, 'L'), "a", "b"};
    server.answer_json(listing_of(ids, "finished"));
    server.answer_always(script_server::json_response(ok_answer));
    EXPECT_EQ(3, ds_delete_completed());
    EXPECT_STREQ("", ds_last_error());
    std::vector<std::string> sent = server.requests();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(get_line(std::string(task_cgi) + "&method=delete&id=" + ids[0] + "&force_complete=false&_sid=SID"),
              sent[1].substr(0, sent[1].find("\r\n")));
    EXPECT_EQ(get_line(std::string(task_cgi) + "&method=delete&id=a%2Cb&force_complete=false&_sid=SID"),
              sent[2].substr(0, sent[2].find("\r\n")));
}

// ---- adding by URL ------------------------------------------------------------------

TEST_F(TaskCommandTest, AddUrlRequestByteForByte)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"ignored":1}})");
    EXPECT_EQ(0, ds_add_url("http://x/a?b=1&c=2", "/video/movies"));
    EXPECT_STREQ("", ds_last_error());
    const std::string body = "api=SYNO.DownloadStation.Task&version=1&method=create"
                             "&uri=http%3A%2F%2Fx%2Fa%3Fb%3D1%26c%3D2&destination=video%2Fmovies&_sid=SID";
    EXPECT_EQ("POST /webapi/DownloadStation/task.cgi HTTP/1.1\r\n" + host_line() +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=SID\r\n"
                  "Content-Type: application/x-www-form-urlencoded\r\n"
                  "Content-Length: 128\r\n\r\n" +
                  body,
              server.last_request());
}

TEST_F(TaskCommandTest, AddUrlDestinations)
{
    log_in();
    // No destination, or nothing left of one, leaves the field out: the
    // station then takes its default folder.
    const char *const without_field =
        "api=SYNO.DownloadStation.Task&version=1&method=create&uri=magnet%3A%3Fxt%3D1&_sid=SID";
    expect_destinations(
        {
            {nullptr, without_field},
            {"", without_field},
            {"/\\//", without_field},
            {"personal",
             "api=SYNO.DownloadStation.Task&version=1&method=create&uri=magnet%3A%3Fxt%3D1&destination=personal&_sid=SID"},
            {"\\share/a b", "api=SYNO.DownloadStation.Task&version=1&method=create&uri=magnet%3A%3Fxt%3D1"
                            "&destination=share%2Fa%20b&_sid=SID"},
            {"downloads\r\nx", "api=SYNO.DownloadStation.Task&version=1&method=create&uri=magnet%3A%3Fxt%3D1"
                               "&destination=downloads%0D%0Ax&_sid=SID"},
        },
        [](const char *destination) { return ds_add_url("magnet:?xt=1", destination); },
        [this] { return last_request_body(); });
}

TEST_F(TaskCommandTest, AddUrlAnswers)
{
    log_in();
    const answer_case<int> cases[] = {
        {"created", R"({"success":true})", 0, ""},
        {"station code", R"({"success":false,"error":{"code":400}})", 400, "Add URL failed (code 400: File upload failed)"},
        {"no code", R"({"success":false,"error":{}})", -1, "Add URL failed (code 0: Synology error)"},
        {"not JSON", "Bad Gateway", -1, "Failed to parse add_url JSON response: Bad Gateway"},
        {"empty body", "", -1, "Failed to parse add_url JSON response: empty"},
        {"transport", nullptr, -1, "HTTP add url failed: Empty response from server"},
    };
    expect_answers(cases, [] { return ds_add_url("http://x/", nullptr); });

    const unsent_case empty_urls[] = {
        {"empty", [] { return ds_add_url("", nullptr); }, -1, "URL cannot be empty"},
        {"null", [] { return ds_add_url(nullptr, "x"); }, -1, "URL cannot be empty"},
    };
    expect_unsent(empty_urls);
}

TEST(SplitUrlBatch, LinesTrimmedAndBlankLinesDropped)
{
    struct split_case {
        const char *text;
        std::vector<std::string> lines;
    };
    const split_case cases[] = {
        {"", {}},
        {" \r\n\t \n\r\v\f ", {}},
        {"a", {"a"}},
        {"a\r\nb\nc\rd\n\re", {"a", "b", "c", "d", "e"}},
        {"  http://a/1  \r\n\r\n\thttp://b/2\t\r\n   \r\n http://c/3 ", {"http://a/1", "http://b/2", "http://c/3"}},
        {"a b, c;d\n", {"a b, c;d"}},
        {"x\vy\fz \v\f", {"x\vy\fz"}},
        {"\xA0url\xA0", {"\xA0url\xA0"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> got;
        for (std::string_view line : split_url_batch(c.text)) got.emplace_back(line);
        EXPECT_EQ(c.lines, got);
    }
}

TEST_F(TaskCommandTest, BatchOfThreeCrlfLines)
{
    log_in();
    for (int i = 0; i < 3; ++i) server.answer_json(ok_answer);
    EXPECT_EQ(3, ds_add_urls("  http://a/1  \r\n\r\n\thttp://b/2 c\r\n   \r\nhttp://c/3 \r\n", "/dl"));
    EXPECT_STREQ("", ds_last_error());
    const std::vector<std::string> sent = server.requests();
    ASSERT_EQ(3u, sent.size());
    const char *uris[] = {"http%3A%2F%2Fa%2F1", "http%3A%2F%2Fb%2F2%20c", "http%3A%2F%2Fc%2F3"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ("api=SYNO.DownloadStation.Task&version=1&method=create&uri=" + std::string(uris[i]) +
                      "&destination=dl&_sid=SID",
                  sent[i].substr(sent[i].find("\r\n\r\n") + 4));
    }
}

TEST_F(TaskCommandTest, BatchCountsAndMessages)
{
    log_in();
    const char refused[] = R"({"success":false,"error":{"code":400}})";
    const char unknown[] = R"({"success":false,"error":{"code":408}})";
    struct batch_case {
        const char *name;
        std::vector<const char *> answers;
        int result;
        const char *error;
    };
    const batch_case cases[] = {
        {"second of three fails", {ok_answer, refused, ok_answer}, 2, ""},
        {"last of three fails", {ok_answer, ok_answer, refused}, 2, "Add URL failed (code 400: File upload failed)"},
        {"all fail", {refused, refused, unknown}, 0, "Add URL failed (code 408: File does not exist)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clear_requests();
        for (const char *a : c.answers) server.answer_json(a);
        EXPECT_EQ(c.result, ds_add_urls("u1\nu2\nu3", nullptr));
        EXPECT_STREQ(c.error, ds_last_error());
        EXPECT_EQ(3u, server.connection_count());
    }
    const unsent_case no_urls[] = {
        {"blank lines only", [] { return ds_add_urls(" \r\n\t\r\n  ", nullptr); }, -1, "No valid URLs found in batch"},
        {"empty", [] { return ds_add_urls("", nullptr); }, -1, "URLs list cannot be empty"},
        {"null", [] { return ds_add_urls(nullptr, nullptr); }, -1, "URLs list cannot be empty"},
    };
    expect_unsent(no_urls);
}

// ---- adding a torrent file ---------------------------------------------------------

// The parts before the file's bytes for destination personal, a 20-character
// session id and the file name a.torrent: 580 + 8 + 20 + 9 bytes.
const char example_head[] =
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"api\"\r\n"
    "\r\n"
    "SYNO.DownloadStation.Task\r\n"
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"version\"\r\n"
    "\r\n"
    "1\r\n"
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"method\"\r\n"
    "\r\n"
    "create\r\n"
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"destination\"\r\n"
    "\r\n"
    "personal\r\n"
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"_sid\"\r\n"
    "\r\n"
    "S0123456789abcdefghi\r\n"
    "------BrBoundary98234710293847\r\n"
    "Content-Disposition: form-data; name=\"file\"; filename=\"a.torrent\"\r\n"
    "Content-Type: application/x-bittorrent\r\n"
    "\r\n";
const char example_tail[] = "\r\n------BrBoundary98234710293847--\r\n";

TEST_F(TaskCommandTest, TorrentBodyByteForByte)
{
    server.answer_json(R"({"success":true,"data":{"sid":"S0123456789abcdefghi"}})");
    ASSERT_EQ(0, ds_connect("127.0.0.1", server.port(), "user", "pass"));
    server.clear_requests();

    std::string content(1000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    const std::string path = write_file("a.torrent", content);
    server.answer_json(ok_answer);
    EXPECT_EQ(0, ds_add_torrent(path.c_str(), "personal"));
    EXPECT_STREQ("", ds_last_error());

    const std::string body = std::string(example_head) + content + example_tail;
    EXPECT_EQ(1653u, body.size());
    EXPECT_EQ("POST /webapi/DownloadStation/task.cgi HTTP/1.1\r\n" + host_line() +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=S0123456789abcdefghi\r\n"
                  "Content-Type: multipart/form-data; boundary=----BrBoundary98234710293847\r\n"
                  "Content-Length: 1653\r\n\r\n" +
                  body,
              server.last_request());
}

TEST_F(TaskCommandTest, TorrentFileNames)
{
    log_in();
    fs::create_directories(dir / "x");
    struct name_case {
        const char *file;  // created under the test directory
        const char *sent;
    };
    const name_case cases[] = {
        {"d1\\d2\\a.torrent", "a.torrent"},
        {"x/y\\z.torrent", "z.torrent"},
        {"x/plain.torrent", "plain.torrent"},
#if !defined(_WIN32)  // Windows allows no quote or line break in a file name
        {"q\"a\r\nb.torrent", "q%22a%0D%0Ab.torrent"},
#endif
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = write_file(c.file, "d4:infoe");
        server.answer_json(ok_answer);
        EXPECT_EQ(0, ds_add_torrent(path.c_str(), nullptr));
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(c.sent, sent_file_name());
    }

    // A bare name, read from the working directory, is sent as it is.
    write_file("bare.torrent", "d4:infoe");
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    server.answer_json(ok_answer);
    EXPECT_EQ(0, ds_add_torrent("bare.torrent", nullptr));
    EXPECT_STREQ("", ds_last_error());
    fs::current_path(before);
    EXPECT_EQ("bare.torrent", sent_file_name());
}

TEST_F(TaskCommandTest, TorrentDestinations)
{
    log_in();
    const std::string path = write_file("t.torrent", "d4:infoe");
    expect_destinations(
        {
            {nullptr, "<none>"},
            {"", "<none>"},
            {"\\/", "<none>"},
            {"personal", "personal"},
            {"/downloads/new", "downloads/new"},
            {"a b&c%20\"q\"", "a b&c%20\"q\""},
        },
        [&](const char *destination) { return ds_add_torrent(path.c_str(), destination); },
        [this] { return sent_destination(); });

    // A line break could start a part of its own.
    const unsent_case forged[] = {
        {"forged part", [&] { return ds_add_torrent(path.c_str(), "a\r\n------BrBoundary98234710293847\r\nb"); }, -1,
         "Destination cannot contain line breaks"},
        {"LF", [&] { return ds_add_torrent(path.c_str(), "a\nb"); }, -1, "Destination cannot contain line breaks"},
        {"CR", [&] { return ds_add_torrent(path.c_str(), "a\rb"); }, -1, "Destination cannot contain line breaks"},
    };
    expect_unsent(forged);
}

TEST_F(TaskCommandTest, TorrentSizeLimits)
{
    log_in();
    const std::string empty = write_file("empty.torrent", "");
    const std::string over = write_file("over.torrent", std::string((20u << 20) + 1, 'o'));
    EXPECT_EQ(-1, ds_add_torrent(empty.c_str(), nullptr));
    EXPECT_STREQ("Invalid torrent file size: 0", ds_last_error());
    EXPECT_EQ(-1, ds_add_torrent(over.c_str(), nullptr));
    EXPECT_STREQ("Invalid torrent file size: 20971521 (over the 20 MiB limit)", ds_last_error());
    EXPECT_EQ(0u, server.connection_count());

    const std::string content((20u << 20), 'm');
    const std::string whole = write_file("whole.torrent", content);
    server.answer_json(ok_answer);
    EXPECT_EQ(0, ds_add_torrent(whole.c_str(), "/d"));
    EXPECT_STREQ("", ds_last_error());
    const std::string body = last_request_body();
    ASSERT_EQ(580u + 1 + 3 + 13 + 20971520 + 36, body.size());
    EXPECT_EQ(0, body.compare(580 + 1 + 3 + 13, content.size(), content));
    EXPECT_EQ(example_tail, body.substr(body.size() - 36));
}

#if !defined(_WIN32)  // Windows raises no signal for a closed peer
// A station that closes before it has read the upload must not end the
// host with SIGPIPE, whose default action terminates the process.
TEST_F(TaskCommandTest, StationClosingBeforeReadingRaisesNoSignal)
{
    std::signal(SIGPIPE, SIG_DFL);
    log_in();
    const std::string path = write_file("big.torrent", std::string(20u << 20, 'b'));
    server.close_before_reading();
    EXPECT_EQ(-1, ds_add_torrent(path.c_str(), "downloads"));
    EXPECT_EQ(0, std::string(ds_last_error()).rfind("HTTP add torrent failed: Failed to send request ", 0))
        << ds_last_error();
}
#endif

TEST_F(TaskCommandTest, TorrentFailures)
{
    log_in();
    const std::string path = write_file("t.torrent", "d4:infoe");
    const answer_case<int> cases[] = {
        {"station code", R"({"success":false,"error":{"code":400}})", 400,
         "Add torrent failed (code 400: File upload failed)"},
        {"no code", R"({"success":false,"error":{"code":"400"}})", -1, "Add torrent failed (code 0: Synology error)"},
        {"not JSON", "{\"success\":", -1, "Failed to parse add_torrent JSON response: {\"success\":"},
        {"empty body", "", -1, "Failed to parse add_torrent JSON response: empty"},
        {"transport", nullptr, -1, "HTTP add torrent failed: Empty response from server"},
    };
    expect_answers(cases, [&] { return ds_add_torrent(path.c_str(), nullptr); });

    const std::string missing = (dir / "missing.torrent").string();
    const std::string folder = dir.string();
    const unsent_case refused[] = {
        {"null path", [] { return ds_add_torrent(nullptr, nullptr); }, -1, "File path cannot be empty"},
        {"empty path", [] { return ds_add_torrent("", nullptr); }, -1, "File path cannot be empty"},
        {"missing file", [&] { return ds_add_torrent(missing.c_str(), nullptr); }, -1,
         "Failed to open torrent file: " + missing + " (No such file or directory)"},
        {"a folder", [&] { return ds_add_torrent(folder.c_str(), nullptr); }, -1,
         "Failed to open torrent file: " + folder + " (Is a directory)"},
    };
    expect_unsent(refused);
}

}  // namespace

namespace {

// ---- the current upload route ---------------------------------------------------------

const char retired_route[] = R"({"error":{"code":101},"success":false})";
const char created_on_current_route[] = R"({"success":true,"data":{"list_id":[],"task_id":["dbid_123"]}})";
const char current_route_line[] =
    "POST /webapi/entry.cgi?api=SYNO.DownloadStation2.Task&version=2&method=create&_sid=SID HTTP/1.1";
const char older_route_line[] = "POST /webapi/DownloadStation/task.cgi HTTP/1.1";

// The parts of an upload on the current route up to the file's bytes, with
// the destination as the JSON text sent.
std::string current_route_head(const std::string &destination_json, const std::string &file_name)
{
    const std::string b = "------BrBoundary98234710293847\r\n";
    auto part = [&](const char *name, const std::string &value) {
        return b + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    };
    return part("api", "SYNO.DownloadStation2.Task") + part("version", "2") + part("method", "create") +
           part("type", "\"file\"") + part("file", "[\"torrent\"]") + part("destination", destination_json) +
           part("create_list", "false") + b + "Content-Disposition: form-data; name=\"torrent\"; filename=\"" +
           file_name + "\"\r\nContent-Type: application/x-bittorrent\r\n\r\n";
}

std::string request_line(const std::string &request) { return request.substr(0, request.find("\r\n")); }

std::string body_of(const std::string &request) { return request.substr(request.find("\r\n\r\n") + 4); }

}  // namespace

TEST_F(TaskCommandTest, RetiredRouteSendsTheSameFileOnTheCurrentRoute)
{
    log_in();
    const std::string content = std::string("d4:info") + '\0' + "\xFF" + "e";
    const std::string path = write_file("a b.torrent", content);
    server.answer_json(retired_route);
    server.answer_json(created_on_current_route);
    EXPECT_EQ(0, ds_add_torrent(path.c_str(), "/vid\"eo\\x\tn\xC3\xA9w"));
    EXPECT_STREQ("", ds_last_error());

    const std::vector<std::string> sent = server.requests();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(older_route_line, request_line(sent[0]));
    const std::string body = current_route_head("\"vid\\\"eo\\\\x\\tn\xC3\xA9w\"", "a b.torrent") + content +
                             "\r\n------BrBoundary98234710293847--\r\n";
    EXPECT_EQ(std::string(current_route_line) + "\r\n" + host_line() +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=SID\r\n"
                  "Content-Type: multipart/form-data; boundary=----BrBoundary98234710293847\r\n"
                  "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
              sent[1]);
}

TEST_F(TaskCommandTest, SessionRemembersTheCurrentRouteUntilTheNextLogin)
{
    log_in();
    const std::string path = write_file("t.torrent", "d4:infoe");
    server.answer_json(retired_route);
    server.answer_json(created_on_current_route);
    ASSERT_EQ(0, ds_add_torrent(path.c_str(), "video"));

    server.clear_requests();
    server.answer_json(created_on_current_route);
    EXPECT_EQ(0, ds_add_torrent(path.c_str(), "video"));
    EXPECT_STREQ("", ds_last_error());
    ASSERT_EQ(1u, server.connection_count());
    EXPECT_EQ(current_route_line, last_request_line());

    for (bool logged_out : {false, true}) {
        SCOPED_TRACE(logged_out ? "after a logout" : "after a new login");
        if (logged_out) {
            server.close_without_answer();
            EXPECT_EQ(0, ds_disconnect());
        }
        log_in();
        server.answer_json(ok_answer);
        EXPECT_EQ(0, ds_add_torrent(path.c_str(), "video"));
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(older_route_line, last_request_line());
    }
}

TEST_F(TaskCommandTest, CurrentRouteAnswers)
{
    log_in();
    const std::string path = write_file("t.torrent", "d4:infoe");
    // A long detail is cut to 200 bytes of whole characters: here an "é"
    // would straddle the cut.
    const std::string long_detail =
        R"({"error":{"code":403,"errors":[{"path":")" + std::string(181, 'a') + "\xC3\xA9" + std::string(20, 'b') +
        R"("}]},"success":false})";
    const std::string long_detail_message =
        R"(Add torrent failed (code 403: Destination denied; errors: [{"path":")" + std::string(181, 'a') + "...)";
    const answer_case<int> cases[] = {
        {"long detail", long_detail.c_str(), 403, long_detail_message.c_str()},
        {"refused with detail", R"({"error":{"code":120,"errors":{"name":"destination","reason":"required"}},"success":false})",
         120, "Add torrent failed (code 120: Synology error; destination: required)"},
        {"detail of another shape", R"({"error":{"code":403,"errors":[{"code":403,"path":"/x"}]},"success":false})",
         403, "Add torrent failed (code 403: Destination denied; errors: [{\"code\":403,\"path\":\"/x\"}])"},
        {"refused without detail", R"({"error":{"code":101},"success":false})", 101,
         "Add torrent failed (code 101: Invalid parameter)"},
        {"no code", R"({"success":false})", -1, "Add torrent failed (code 0: Synology error)"},
        {"not JSON", "<html>", -1, "Failed to parse add_torrent JSON response: <html>"},
        {"transport", nullptr, -1, "HTTP add torrent failed: Empty response from server"},
    };
    for (const auto &c : cases) {
        server.answer_json(retired_route);  // the older route's answer, before the case's own
        expect_answer(c, [&] { return ds_add_torrent(path.c_str(), "video"); },
                      [this] { EXPECT_EQ(current_route_line, last_request_line()); });
        log_in();  // back to the older route
    }
}

TEST_F(TaskCommandTest, CurrentRouteWithoutDestinationTakesTheStationDefault)
{
    log_in();
    const std::string content = "d4:infoe";
    const std::string path = write_file("t.torrent", content);
    const std::string folder(3000, 'f');  // a head longer than the older route's moves the file back
    server.answer_json(retired_route);
    server.answer_json(R"({"success":true,"data":{"default_destination":"/)" + folder + R"("}})");
    server.answer_json(created_on_current_route);
    EXPECT_EQ(0, ds_add_torrent(path.c_str(), nullptr));
    EXPECT_STREQ("", ds_last_error());
    const std::vector<std::string> sent = server.requests();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(get_line("/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getconfig&_sid=SID"),
              request_line(sent[1]));
    EXPECT_EQ(current_route_head("\"" + folder + "\"", "t.torrent") + content + "\r\n------BrBoundary98234710293847--\r\n",
              body_of(sent[2]));

    // The settings' answer: the route is known, and without a destination no upload follows.
    const answer_case<int> cases[] = {
        {"none set", R"({"success":true,"data":{"default_destination":""}})", -1,
         "Add torrent failed: no destination given and the station has no default destination"},
        {"no data", R"({"success":true})", -1,
         "Add torrent failed: no destination given and the station has no default destination"},
        {"settings refused", R"({"success":false,"error":{"code":105}})", -1,
         "Get default destination failed (code 105: The logged in session does not have permission)"},
    };
    const auto add = [&] {
        server.clear_requests();
        return ds_add_torrent(path.c_str(), "");
    };
    expect_answers(cases, add, [this] { EXPECT_EQ(1u, server.connection_count()); });
}
