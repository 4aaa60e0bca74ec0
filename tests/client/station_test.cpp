// Info, statistics, configuration, speed limits and the default destination.
#include "client_fixture.h"

#include <string>

namespace {

class StationTest : public client_test {};

using text_call = const char *(*)();

const char info_line[] =
    "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo&_sid=SID HTTP/1.1";
const char config_line[] =
    "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getconfig&_sid=SID HTTP/1.1";
const char stats_line[] =
    "GET /webapi/DownloadStation/statistic.cgi?api=SYNO.DownloadStation.Statistic&version=1&method=getinfo&_sid=SID HTTP/1.1";

struct request_case {
    const char *name;
    text_call call;
    const char *line;
    const char *result;  // for data {}
};
const request_case read_requests[] = {
    {"info", ds_info, info_line, "{}"},
    {"stats", ds_stats, stats_line, "{}"},
    {"config", ds_get_config, config_line, "{}"},
    {"default destination", ds_get_default_destination, config_line, ""},
};

TEST_F(StationTest, ReadCallsSendTheirRequestWithCookie)
{
    log_in(true);
    for (const auto &c : read_requests) {
        SCOPED_TRACE(c.name);
        server.answer_json(R"({"success":true,"data":{}})");
        EXPECT_STREQ(c.result, c.call());
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(c.line, last_request_line());
        EXPECT_NE(std::string::npos, server.last_request().find("\r\nCookie: id=SID; did=DID\r\n"));
    }
}

const answer_case<const char *> info_cases[] = {
    {"object, whitespace dropped, members in order", R"({"success":true,"data": { "z" : 1, "a" : [ 1 , 2 ], "z" : "dup" } })",
     R"({"z":1,"a":[1,2],"z":"dup"})", ""},
    {"array", R"({"success":true,"data":[1,"two",null]})", R"([1,"two",null])", ""},
    {"null", R"({"success":true,"data":null})", "null", ""},
    {"string", R"({"success":true,"data":"v\/1 \u00e9"})", "\"v/1 \xC3\xA9\"", ""},
    {"first data wins", R"({"success":true,"data":1,"data":2})", "1", ""},
    {"no data", R"({"success":true})", "{}", ""},
    {"station code", R"({"success":false,"error":{"code":105}})", "{}",
     "Get info failed (code 105: The logged in session does not have permission)"},
    {"no error", R"({"success":false})", "{}", "Get info failed (code 0: Synology error)"},
    {"code not an integer", R"({"success":false,"error":{"code":"105"}})", "{}",
     "Get info failed (code 0: Synology error)"},
    {"success not the literal true", R"({"success":1,"data":{"v":1}})", "{}",
     "Get info failed (code 0: Synology error)"},
    {"not JSON", "<html>", "{}", "Failed to parse info JSON: <html>"},
    {"trailing garbage", R"({"success":true} x)", "{}", R"(Failed to parse info JSON: {"success":true} x)"},
    {"transport", nullptr, "{}", "HTTP info request failed: Empty response from server"},
};

TEST_F(StationTest, InfoAnswers)
{
    log_in();
    expect_answers(info_cases, ds_info);
}

TEST_F(StationTest, HttpErrorStatusWithSuccessCountsAsSuccess)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"v":1}})", 500);
    EXPECT_STREQ(R"({"v":1})", ds_info());
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(StationTest, EmptyBodyIsNamedEmpty)
{
    log_in();
    server.answer("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_STREQ("{}", ds_info());
    EXPECT_STREQ("Failed to parse info JSON: empty", ds_last_error());
}

const answer_case<const char *> stats_failures[] = {
    {"transport", nullptr, "{}", "HTTP stats request failed: Empty response from server"},
    {"parse", "nope", "{}", "Failed to parse stats JSON: nope"},
    {"station", R"({"success":false,"error":{"code":119}})", "{}", "Get stats failed (code 119: Invalid SID)"},
};
const answer_case<const char *> config_failures[] = {
    {"transport", nullptr, "{}", "HTTP config request failed: Empty response from server"},
    {"parse", "nope", "{}", "Failed to parse config JSON: nope"},
    {"station", R"({"success":false,"error":{"code":106}})", "{}", "Get config failed (code 106: Session timeout)"},
};

TEST_F(StationTest, StatsAndConfigFailuresUseTheirOwnWords)
{
    log_in();
    expect_answers(stats_failures, ds_stats);
    expect_answers(config_failures, ds_get_config);
}

TEST_F(StationTest, StatsAndConfigPassDataThrough)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"speed_download":12, "speed_upload":3}})");
    EXPECT_STREQ(R"({"speed_download":12,"speed_upload":3})", ds_stats());
    EXPECT_STREQ("", ds_last_error());
    server.answer_json(R"({"success":true,"data":{"default_destination":"video","emule_enabled":false}})");
    EXPECT_STREQ(R"({"default_destination":"video","emule_enabled":false})", ds_get_config());
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(StationTest, DataOverHalfAMebibyteIsHandedOverWhole)
{
    log_in();
    const std::string big(600 * 1024, 'x');
    server.answer_json(R"({"success":true,"data":{"blob":")" + big + "\"}}");
    EXPECT_EQ(R"({"blob":")" + big + "\"}", std::string(ds_get_config()));
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(StationTest, MillionDeepDataComesBackWhole)
{
    log_in();
    const std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
    server.answer_json(R"({"success":true,"data":)" + deep + "}");
    const std::string result = ds_info();
    EXPECT_EQ(deep.size(), result.size());
    EXPECT_TRUE(result == deep);  // not EXPECT_EQ: a failure would print two megabytes
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(StationTest, FailureLeavesThePreviousResultAlone)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"kept":true}})");
    const char *kept = ds_info();
    ASSERT_STREQ(R"({"kept":true})", kept);

    server.answer_json(R"({"success":false,"error":{"code":105}})");
    const char *failed = ds_stats();
    EXPECT_STREQ("{}", failed);
    EXPECT_NE(kept, failed);
    EXPECT_STREQ("Get stats failed (code 105: The logged in session does not have permission)", ds_last_error());
    server.answer_json("<html>");
    const char *no_destination = ds_get_default_destination();
    EXPECT_STREQ("", no_destination);
    EXPECT_NE(kept, no_destination);
    EXPECT_STREQ("Failed to parse getconfig JSON: <html>", ds_last_error());
    EXPECT_STREQ(R"({"kept":true})", kept);
}

// ---- speed limits ----------------------------------------------------------

struct speed_case {
    int download_limit, upload_limit;
    const char *line;  // null: nothing is sent
};
const speed_case speed_cases[] = {
    {500, 100,
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&bt_max_download=500&bt_max_upload=100&_sid=SID HTTP/1.1"},
    {-1, 100,
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&bt_max_upload=100&_sid=SID HTTP/1.1"},
    {500, -1,
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&bt_max_download=500&_sid=SID HTTP/1.1"},
    {0, 0,
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&bt_max_download=0&bt_max_upload=0&_sid=SID HTTP/1.1"},
    {2147483647, -2147483647 - 1,
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&bt_max_download=2147483647&_sid=SID HTTP/1.1"},
    {-1, -1, nullptr},
    {-2147483647 - 1, -5, nullptr},
};

TEST_F(StationTest, SpeedLimitSendsOnlyTheLimitsToSet)
{
    log_in();
    for (const auto &c : speed_cases) {
        SCOPED_TRACE(std::to_string(c.download_limit) + " " + std::to_string(c.upload_limit));
        server.clear_requests();
        if (c.line) server.answer_json(R"({"success":true})");
        EXPECT_EQ(0, ds_set_speed_limit(c.download_limit, c.upload_limit));
        EXPECT_STREQ("", ds_last_error());
        if (c.line) {
            EXPECT_EQ(c.line, last_request_line());
        } else {
            EXPECT_EQ(0u, server.connection_count());
        }
    }
}

const answer_case<int> speed_failures[] = {
    {"station code", R"({"success":false,"error":{"code":400}})", 400,
     "Set speed limit failed (code 400: File upload failed)"},
    {"no code", R"({"success":false,"error":{}})", -1, "Set speed limit failed (code 0: Synology error)"},
    {"not JSON", "Bad Gateway", -1, "Failed to parse set speed limit JSON response: Bad Gateway"},
    {"transport", nullptr, -1, "HTTP set speed limit failed: Empty response from server"},
};

TEST_F(StationTest, SpeedLimitFailures)
{
    log_in();
    expect_answers(speed_failures, [] { return ds_set_speed_limit(10, 20); });
}

// ---- default destination ---------------------------------------------------

// No folder named is no failure: "" without a message.
const answer_case<const char *> destination_cases[] = {
    {"present", R"({"success":true,"data":{"default_destination":"downloads/films","x":1}})",
     "downloads/films", ""},
    {"first of a name wins", R"({"success":true,"data":{"default_destination":"a","default_destination":"b"}})", "a",
     ""},
    {"empty", R"({"success":true,"data":{"default_destination":""}})", "", ""},
    {"missing", R"({"success":true,"data":{"emule_enabled":true}})", "", ""},
    {"not a string", R"({"success":true,"data":{"default_destination":7}})", "", ""},
    {"data not an object", R"({"success":true,"data":["default_destination"]})", "", ""},
    {"no data", R"({"success":true})", "", ""},
};

TEST_F(StationTest, DefaultDestinationIsPlainText)
{
    log_in();
    expect_answers(destination_cases, ds_get_default_destination);
}

TEST_F(StationTest, LongDefaultDestinationIsNotCut)
{
    log_in();
    const std::string folder(600 * 1024, 'd');
    server.answer_json(R"({"success":true,"data":{"default_destination":")" + folder + "\"}}");
    EXPECT_EQ(folder, ds_get_default_destination());
    EXPECT_STREQ("", ds_last_error());
}

const answer_case<const char *> get_destination_failures[] = {
    {"station code", R"({"success":false,"error":{"code":105}})", "",
     "Get default destination failed (code 105: The logged in session does not have permission)"},
    {"no error", R"({"success":false})", "", "Get default destination failed (code 0: Synology error)"},
    {"not JSON", "[", "", "Failed to parse getconfig JSON: ["},
    {"transport", nullptr, "", "HTTP get default destination failed: Empty response from server"},
};

// The failure's "" is a constant, not the thread's result buffer emptied.
TEST_F(StationTest, FailedDefaultDestinationReadGivesEmptyTextAndMessage)
{
    log_in();
    for (const auto &c : get_destination_failures) {
        server.answer_json(R"({"success":true,"data":"kept"})");
        const char *kept = ds_info();
        ASSERT_STREQ("\"kept\"", kept);
        const char *result = nullptr;
        expect_answer(c, [&] { return result = ds_get_default_destination(); }, [&] {
            EXPECT_NE(kept, result);
            EXPECT_STREQ("\"kept\"", kept);
        });
    }
}

struct set_destination_case {
    const char *destination, *line;
};
const set_destination_case set_destination_cases[] = {
    {"/downloads/films",
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&default_destination=downloads%2Ffilms&_sid=SID HTTP/1.1"},
    {"///",
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&default_destination=personal&_sid=SID HTTP/1.1"},
    {"\\/\\video/",
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&default_destination=video%2F&_sid=SID HTTP/1.1"},
    {"a b&c=d\xC3\xA9",
     "GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=setserverconfig&default_destination=a%20b%26c%3Dd%C3%A9&_sid=SID HTTP/1.1"},
};

TEST_F(StationTest, SetDefaultDestinationSendsTheNormalisedFolder)
{
    log_in();
    for (const auto &c : set_destination_cases) {
        SCOPED_TRACE(c.destination);
        server.answer_json(R"({"success":true})");
        EXPECT_EQ(0, ds_set_default_destination(c.destination));
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(c.line, last_request_line());
    }
}

TEST_F(StationTest, LongDefaultDestinationIsSentWhole)
{
    log_in();
    const std::string folder(3000, 'f');
    server.answer_json(R"({"success":true})");
    EXPECT_EQ(0, ds_set_default_destination(folder.c_str()));
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(get_line("/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method="
                       "setserverconfig&default_destination=" + folder + "&_sid=SID"),
              last_request_line());
}

TEST_F(StationTest, EmptyDestinationIsRefusedWithoutARequest)
{
    log_in();
    const unsent_case cases[] = {
        {"null", [] { return ds_set_default_destination(nullptr); }, -1, "Destination cannot be empty"},
        {"empty", [] { return ds_set_default_destination(""); }, -1, "Destination cannot be empty"},
    };
    expect_unsent(cases);
}

const answer_case<int> set_destination_failures[] = {
    {"station code", R"({"success":false,"error":{"code":403}})", 403,
     "Set default destination failed (code 403: Destination denied)"},
    {"no code", R"({"success":false})", -1, "Set default destination failed (code 0: Synology error)"},
    {"not JSON", "oops", -1, "Failed to parse set default destination response: oops"},
    {"transport", nullptr, -1, "HTTP set default destination failed: Empty response from server"},
};

TEST_F(StationTest, SetDefaultDestinationFailures)
{
    log_in();
    expect_answers(set_destination_failures, [] { return ds_set_default_destination("video"); });
}

TEST_F(StationTest, SuccessEmptiesThePreviousMessage)
{
    log_in();
    EXPECT_EQ(-1, ds_set_default_destination(""));
    ASSERT_STREQ("Destination cannot be empty", ds_last_error());
    server.answer_json(R"({"success":true})");
    EXPECT_EQ(0, ds_set_speed_limit(1, 2));
    EXPECT_STREQ("", ds_last_error());
}

}  // namespace
