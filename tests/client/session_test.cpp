#include "client_fixture.h"
#include "synology.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

const char ua_and_close[] = "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n";

class SessionTest : public client_test {
protected:
    std::string host_line() const { return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"; }
    int connect(const char *user = "user", const char *password = "pass")
    {
        return ds_connect("127.0.0.1", server.port(), user, password);
    }
};

TEST_F(SessionTest, LoginRequestByteForByte)
{
    server.answer_json(R"({"success":true,"data":{"sid":"S1"}})");
    EXPECT_EQ(0, connect("ad min&x=1", "p@ss w%rd/\xC3\xA9"));
    EXPECT_EQ("GET /webapi/entry.cgi?api=SYNO.API.Auth&version=3&method=login&account=ad%20min%26x%3D1"
              "&passwd=p%40ss%20w%25rd%2F%C3%A9&session=DownloadStation&format=sid HTTP/1.1\r\n" +
                  host_line() + ua_and_close + "\r\n",
              server.last_request());
    EXPECT_EQ(1, ds_is_connected());
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(SessionTest, NullPasswordSendsEmptyValue)
{
    server.answer_json(R"({"success":true,"data":{"sid":"S1"}})");
    EXPECT_EQ(0, connect("u", nullptr));
    EXPECT_EQ(get_line("/webapi/entry.cgi?api=SYNO.API.Auth&version=3&method=login&account=u&passwd="
                       "&session=DownloadStation&format=sid"),
              last_request_line());
}

TEST_F(SessionTest, LongCredentialsAreSentWhole)
{
    std::string user(3000, 'u'), password(7000, 'p');
    server.answer_json(R"({"success":true,"data":{"sid":"S1"}})");
    EXPECT_EQ(0, connect(user.c_str(), password.c_str()));
    EXPECT_EQ(get_line("/webapi/entry.cgi?api=SYNO.API.Auth&version=3&method=login&account=" + user +
                       "&passwd=" + password + "&session=DownloadStation&format=sid"),
              last_request_line());
}

TEST_F(SessionTest, ArgumentChecksLeaveTheSessionAlone)
{
    log_in();
    struct argument_case { const char *host, *user, *error; };
    const argument_case cases[] = {
        {nullptr, "u", "Host cannot be empty"},
        {"", "u", "Host cannot be empty"},
        {"127.0.0.1", nullptr, "Username cannot be empty"},
        {"127.0.0.1", "", "Username cannot be empty"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(-1, ds_connect(c.host, server.port(), c.user, "p"));
        EXPECT_STREQ(c.error, ds_last_error());
        EXPECT_EQ(1, ds_is_connected());
    }
    EXPECT_EQ(0u, server.connection_count());
}

TEST_F(SessionTest, PortZeroOrNegativeMeans5000)
{
    for (int port : {0, -7}) {
        SCOPED_TRACE(port);
        ds_connect("127.0.0.1", port, "u", "p");  // its outcome is whatever listens on port 5000
        EXPECT_EQ(5000, copy_session().port);
    }
    EXPECT_EQ(-1, ds_connect("127.0.0.1", server.port(), "u", "p"));
    EXPECT_STREQ("HTTP connect failed: Empty response from server", ds_last_error());
    EXPECT_EQ(server.port(), copy_session().port);
}

TEST_F(SessionTest, LoginOutcomes)
{
    // None of these leaves a session, though an answer without a session id gives 0.
    const answer_case<int> unconnected[] = {
        {"refused with code", R"({"success":false,"error":{"code":400}})", 400,
         "Login failed (code 400: No such account or incorrect password)"},
        {"refused without error", R"({"success":false})", -1, "Login failed (code 0: Synology error)"},
        {"code as string", R"({"success":false,"error":{"code":"400"}})", -1, "Login failed (code 0: Synology error)"},
        {"success as 1", R"({"success":1,"data":{"sid":"S"}})", -1, "Login failed (code 0: Synology error)"},
        {"no data", R"({"success":true})", 0, ""},
        {"sid not a string", R"({"success":true,"data":{"sid":5}})", 0, ""},
        {"not JSON", "<html>oops</html>", -1, "Failed to parse JSON login response: <html>oops</html>"},
        {"trailing garbage", R"({"success":true,"data":{"sid":"S"}} x)", -1,
         "Failed to parse JSON login response: {\"success\":true,\"data\":{\"sid\":\"S\"}} x"},
    };
    const auto login = [this] { return connect(); };
    expect_answers(unconnected, login, [] { EXPECT_EQ(0, ds_is_connected()); });

    expect_answer(answer_case<int>{"first member wins", R"({"success":true,"data":{"sid":"A","sid":"B"}})", 0, ""},
                  login, [] { EXPECT_EQ(1, ds_is_connected()); });
    EXPECT_EQ("A", copy_session().sid);
}

// The sign-in service words its own codes; below 120 and for codes it does
// not name, the shared meanings hold.
TEST_F(SessionTest, SignInRefusalsInTheSignInServiceWords)
{
    struct code_case { int code; const char *meaning; };
    const code_case cases[] = {
        {400, "No such account or incorrect password"},
        {401, "Disabled account"},
        {402, "Permission denied"},
        {403, "2-step verification code required"},
        {404, "Failed to authenticate 2-step verification code"},
        {405, "Invalid task action"},
        {406, "2-step verification must be enabled for this account"},
        {407, "Blocked IP source address (too many failed sign-ins)"},
        {408, "Expired password, cannot be changed"},
        {409, "Expired password"},
        {410, "Password must be changed"},
        {411, "Account disabled"},
        {100, "Unknown error"},
        {105, "The logged in session does not have permission"},
        {119, "Invalid SID"},
        {412, "Permission denied"},
        {415, "Synology error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        server.answer_json(R"({"success":false,"error":{"code":)" + std::to_string(c.code) + "}}");
        EXPECT_EQ(c.code, connect());
        EXPECT_EQ("Login failed (code " + std::to_string(c.code) + ": " + c.meaning + ")",
                  std::string(ds_last_error()));
    }
    // Other calls keep the shared meanings.
    log_in();
    server.answer_json(R"({"success":false,"error":{"code":400}})");
    EXPECT_EQ(400, ds_pause("a"));
    EXPECT_STREQ("pause failed (code 400: File upload failed)", ds_last_error());
}

TEST_F(SessionTest, HttpErrorStatusWithSuccessCountsAsSuccess)
{
    server.answer_json(R"({"success":true,"data":{"sid":"S"}})", 500);
    EXPECT_EQ(0, connect());
    EXPECT_EQ(1, ds_is_connected());
}

TEST_F(SessionTest, TransportAndEmptyAnswers)
{
    server.answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(-1, connect());
    EXPECT_STREQ("Empty login response from NAS", ds_last_error());

    server.close_without_answer();
    EXPECT_EQ(-1, connect());
    EXPECT_STREQ("HTTP connect failed: Empty response from server", ds_last_error());

    int port;
    {
        script_server gone;
        port = gone.port();
    }
    EXPECT_EQ(-1, ds_connect("127.0.0.1", port, "u", "p"));
    EXPECT_EQ("HTTP connect failed: Failed to connect to 127.0.0.1:" + std::to_string(port),
              std::string(ds_last_error()));
}

TEST_F(SessionTest, SessionIdIsCutTo511AndUsedUnencoded)
{
    std::string sid(600, 'a');
    sid[0] = 'Z';
    server.answer_json(R"({"success":true,"data":{"sid":")" + sid + R"(","did":"D-1"}})");
    ASSERT_EQ(0, connect());
    server.answer_json(R"({"success":true})");
    EXPECT_EQ(1, ds_ping());
    std::string kept = sid.substr(0, 511);
    EXPECT_EQ("GET /webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo&_sid=" +
                  kept + " HTTP/1.1\r\n" + host_line() + ua_and_close + "Cookie: id=" + kept + "; did=D-1\r\n\r\n",
              server.last_request());
}

TEST_F(SessionTest, UnsafeSessionIdsAreRefused)
{
    const answer_case<int> cases[] = {
        {"line break", R"({"success":true,"data":{"sid":"S\r\nX-Injected: 1"}})", -1,
         "Invalid session id in login response"},
        {"blank", R"({"success":true,"data":{"sid":"S 1"}})", -1, "Invalid session id in login response"},
        {"semicolon", R"({"success":true,"data":{"sid":"S;did=x"}})", -1, "Invalid session id in login response"},
        {"ampersand", R"({"success":true,"data":{"sid":"S&_sid=x"}})", -1, "Invalid session id in login response"},
        {"hash", R"({"success":true,"data":{"sid":"S#x"}})", -1, "Invalid session id in login response"},
        {"not ASCII", R"({"success":true,"data":{"sid":"S\u00e9"}})", -1, "Invalid session id in login response"},
        {"device id with a line break", R"({"success":true,"data":{"sid":"S","did":"D\nX"}})", -1,
         "Invalid device id in login response"},
    };
    expect_answers(cases, [this] { return connect(); }, [] { EXPECT_EQ(0, ds_is_connected()); });
    server.clear_requests();
    EXPECT_EQ(0, ds_ping());
    EXPECT_EQ(0u, server.connection_count());
}

TEST_F(SessionTest, HostWithLineBreakNeverReachesTheWire)
{
    EXPECT_EQ(-1, ds_connect("127.0.0.1\r\nX-Injected: 1", server.port(), "u", "p"));
    EXPECT_STREQ("HTTP connect failed: Invalid character in request host", ds_last_error());
    EXPECT_EQ(0u, server.connection_count());
}

TEST_F(SessionTest, FailedLoginAfterAGoodOneForgetsTheSession)
{
    log_in();
    server.answer_json(R"({"success":false,"error":{"code":119}})");
    EXPECT_EQ(119, connect());
    EXPECT_EQ(0, ds_is_connected());
    EXPECT_EQ("", copy_session().sid);
}

TEST_F(SessionTest, DisconnectWhileNotConnectedSendsNothing)
{
    EXPECT_EQ(0, ds_disconnect());
    EXPECT_EQ(0u, server.connection_count());
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(SessionTest, DisconnectSendsLogoutOnceEvenWhenUnanswered)
{
    log_in(true);
    ASSERT_EQ(0, ds_set_timeout(1));
    server.stay_silent(std::chrono::milliseconds(100));
    EXPECT_EQ(0, ds_disconnect());
    EXPECT_EQ(0, ds_is_connected());
    EXPECT_STREQ("", ds_last_error());
    ASSERT_EQ(1u, server.connection_count());
    EXPECT_EQ("GET /webapi/entry.cgi?api=SYNO.API.Auth&version=1&method=logout&session=DownloadStation&_sid=SID HTTP/1.1\r\n" +
                  host_line() + ua_and_close + "Cookie: id=SID; did=DID\r\n\r\n",
              server.last_request());
    session_view after = copy_session();
    EXPECT_EQ("127.0.0.1", after.host);
    EXPECT_EQ(server.port(), after.port);
    EXPECT_EQ(1, after.timeout_sec);
}

TEST_F(SessionTest, PingAnswers)
{
    log_in();
    const answer_case<int> cases[] = {
        {"success", R"({"success":true,"data":[1]})", 1, ""},
        {"code 119", R"({"success":false,"error":{"code":119}})", 0, "Session expired or invalid"},
        {"no success", R"({"data":{}})", 0, "Session expired or invalid"},
        {"root not an object", "[true]", 0, "Session expired or invalid"},
        {"not JSON", "nope", 0, "Failed to parse ping response"},
        {"nothing", nullptr, 0, "Ping request failed: Empty response from server"},
    };
    // A failed ping keeps the session.
    expect_answers(cases, ds_ping, [] { EXPECT_EQ(1, ds_is_connected()); });
}

// A login whose answer comes after another thread has logged in or out
// again must not overwrite that newer state.
TEST_F(SessionTest, LoginAnsweredAfterANewerOneIsSuperseded)
{
    for (bool newer_is_logout : {false, true}) {
        SCOPED_TRACE(newer_is_logout ? "newer logout" : "newer login");
        log_in();
        script_server slow;
        slow.answer_when_released(script_server::json_response(R"({"success":true,"data":{"sid":"OLD"}})"));
        int result = 0;
        std::string message;
        std::thread first([&] {
            result = ds_connect("127.0.0.1", slow.port(), "user", "pass");
            message = ds_last_error();
        });
        // Wait until the slow station holds the first login's request.
        while (slow.connection_count() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (newer_is_logout) {
            server.answer_json(R"({"success":true})");
            EXPECT_EQ(0, ds_disconnect());
        } else {
            server.answer_json(R"({"success":true,"data":{"sid":"NEW"}})");
            EXPECT_EQ(0, connect());
        }
        slow.release();
        first.join();
        EXPECT_EQ(-1, result);
        EXPECT_EQ("Login superseded by another login or logout", message);
        EXPECT_EQ(newer_is_logout ? "" : "NEW", copy_session().sid);
        EXPECT_EQ(newer_is_logout ? 0 : 1, ds_is_connected());
    }
}

// Logins, pings and logouts on several threads at once: each call works on
// its own consistent copy of the session (run under ThreadSanitizer in CI).
TEST_F(SessionTest, ConcurrentConnectPingDisconnect)
{
    server.answer_always(script_server::json_response(R"({"success":true,"data":{"sid":"S","did":"D"}})"));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                switch ((t + i) % 3) {
                case 0:
                    if (connect() != 0 && std::string(ds_last_error()) != "Login superseded by another login or logout")
                        ++failures;
                    break;
                case 1:
                    if (ds_ping() == 0 && std::string(ds_last_error()) != "Not connected to NAS") ++failures;
                    break;
                default:
                    if (ds_disconnect() != 0) ++failures;
                }
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    server.clear_requests();
    EXPECT_EQ(0, connect());
    EXPECT_EQ(1, ds_is_connected());
    EXPECT_EQ(1, ds_ping());
}

}  // namespace
