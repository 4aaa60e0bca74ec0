// ds_connect_with: its options read strictly, the second factor's fields on
// the login, and what ds_session_info tells of the session.
#include "client_fixture.h"
#include "synology.h"

#include <string>

namespace {

class ConnectOptionsTest : public client_test {
protected:
    int connect_with(const char *options, int port = 0)
    {
        return ds_connect_with("127.0.0.1", port ? port : server.port(), "user", "pass", options);
    }
};

TEST_F(ConnectOptionsTest, MistakesAreNamedAndNothingIsSent)
{
    log_in();
    struct options_case { const char *options, *error; };
    const options_case cases[] = {
        {"[]", "Invalid options: not a JSON object"},
        {"{\"https\":true", "Invalid options: not a JSON object"},
        {"{} {}", "Invalid options: not a JSON object"},
        {"\"https\"", "Invalid options: not a JSON object"},
        {R"({"http":true})", "Invalid options: unknown member \"http\""},
        {R"({"HTTPS":true})", "Invalid options: unknown member \"HTTPS\""},
        {R"({"https":"yes"})", "Invalid options: \"https\" must be true or false"},
        {R"({"https":1})", "Invalid options: \"https\" must be true or false"},
        {R"({"https":true,"verify":null})", "Invalid options: \"verify\" must be true or false"},
        {R"({"https":true,"ca_file":5})", "Invalid options: \"ca_file\" must be a string"},
        {R"({"otp_code":123456})", "Invalid options: \"otp_code\" must be a string"},
        {R"({"otp_code":""})", "Invalid options: \"otp_code\" cannot be empty"},
        {R"({"device_id":"a\u0000b","device_name":"n"})", "Invalid options: \"device_id\" cannot hold a NUL character"},
        {R"({"https":true,"https":false})", "Invalid options: \"https\" given twice"},
        {R"({"https":true,"fingerprint_sha256":"AB:CD"})",
         "Invalid options: \"fingerprint_sha256\" must be 64 hexadecimal digits"},
        {R"({"https":true,"fingerprint_sha256":"zz3456789012345678901234567890123456789012345678901234567890abcd"})",
         "Invalid options: \"fingerprint_sha256\" must be 64 hexadecimal digits"},
        {R"({"verify":false})", "Invalid options: \"verify\" needs \"https\": true"},
        {R"({"https":false,"ca_file":"ca.pem"})", "Invalid options: \"ca_file\" needs \"https\": true"},
        {R"({"fingerprint_sha256":"0123456789012345678901234567890123456789012345678901234567890abc"})",
         "Invalid options: \"fingerprint_sha256\" needs \"https\": true"},
        {R"({"https":true,"verify":false,"ca_file":"ca.pem"})",
         "Invalid options: \"verify\": false cannot go with \"ca_file\""},
        {R"({"https":true,"verify":false,"fingerprint_sha256":"0123456789012345678901234567890123456789012345678901234567890abc"})",
         "Invalid options: \"verify\": false cannot go with \"fingerprint_sha256\""},
        {R"({"https":true,"ca_file":"ca.pem","fingerprint_sha256":"0123456789012345678901234567890123456789012345678901234567890abc"})",
         "Invalid options: \"ca_file\" cannot go with \"fingerprint_sha256\""},
        {R"({"device_name":"laptop"})", "Invalid options: \"device_name\" needs \"otp_code\" or \"device_id\""},
        {R"({"device_id":"D1"})", "Invalid options: \"device_id\" needs \"device_name\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        EXPECT_EQ(-1, connect_with(c.options));
        EXPECT_STREQ(c.error, ds_last_error());
        EXPECT_EQ(1, ds_is_connected());  // the session stays as it was
    }
    EXPECT_EQ(0u, server.connection_count());
}

TEST_F(ConnectOptionsTest, NoOptionsIsConnect)
{
    for (const char *options : {static_cast<const char *>(nullptr), "", "{}", " { } "}) {
        SCOPED_TRACE(options ? options : "null");
        server.clear_requests();
        server.answer_json(R"({"success":true,"data":{"sid":"S1"}})");
        EXPECT_EQ(0, connect_with(options));
        EXPECT_EQ(get_line("/webapi/entry.cgi?api=SYNO.API.Auth&version=3&method=login&account=user&passwd=pass"
                           "&session=DownloadStation&format=sid"),
                  last_request_line());
        EXPECT_EQ(1, ds_is_connected());
    }
}

TEST_F(ConnectOptionsTest, SecondFactorFieldsFollowTheLoginFields)
{
    const std::string login = "/webapi/entry.cgi?api=SYNO.API.Auth&version=";
    const std::string fields = "&method=login&account=user&passwd=pass&session=DownloadStation&format=sid";
    struct factor_case { const char *options; std::string path; };
    const factor_case cases[] = {
        {R"({"otp_code":"123 456"})", login + "3" + fields + "&otp_code=123%20456"},
        {R"({"otp_code":"123456","device_name":"my laptop"})",
         login + "6" + fields + "&otp_code=123456&enable_device_token=yes&device_name=my%20laptop"},
        {R"({"device_name":"my laptop","device_id":"D&1"})",
         login + "6" + fields + "&device_name=my%20laptop&device_id=D%261"},
        {R"({"otp_code":"1","device_name":"n","device_id":"D"})",
         login + "6" + fields + "&otp_code=1&device_name=n&device_id=D"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        server.answer_json(R"({"success":true,"data":{"sid":"S1","did":"DEVICE-9"}})");
        EXPECT_EQ(0, connect_with(c.options));
        EXPECT_EQ(get_line(c.path), last_request_line());
    }
}

TEST_F(ConnectOptionsTest, SecondFactorRefusals)
{
    const answer_case<int> cases[] = {
        {"code required", R"({"error":{"code":403,"errors":{"types":[{"type":"otp"}],"token":"t"}},"success":false})",
         403, "Login failed (code 403: 2-step verification code required)"},
        {"wrong code", R"({"error":{"code":404},"success":false})", 404,
         "Login failed (code 404: Failed to authenticate 2-step verification code)"},
        {"not enabled", R"({"error":{"code":406},"success":false})", 406,
         "Login failed (code 406: 2-step verification must be enabled for this account)"},
    };
    expect_answers(cases, [this] { return connect_with(R"({"otp_code":"000000"})"); },
                   [] { EXPECT_EQ(0, ds_is_connected()); });
}

TEST_F(ConnectOptionsTest, SessionInfoTellsWhatTheLibraryHolds)
{
    server.answer_json(R"({"success":true,"data":{"sid":"S1","did":"DEVICE-9"}})");
    ASSERT_EQ(0, connect_with(R"({"otp_code":"123456","device_name":"laptop"})"));
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(R"({"host":"127.0.0.1","port":)" + port + R"(,"https":false,"verification":"none",)"
              R"("fingerprint_sha256":"","device_id":"DEVICE-9","connected":true})",
              std::string(ds_session_info()));

    // Session info leaves the last error as it is.
    server.answer_json(R"({"success":false,"error":{"code":400}})");
    EXPECT_EQ(400, connect_with(nullptr));
    EXPECT_EQ(R"({"host":"127.0.0.1","port":)" + port + R"(,"https":false,"verification":"none",)"
              R"("fingerprint_sha256":"","device_id":"","connected":false})",
              std::string(ds_session_info()));
    EXPECT_STREQ("Login failed (code 400: No such account or incorrect password)", ds_last_error());
}

TEST_F(ConnectOptionsTest, HttpsSettingsAndTheirDefaultPort)
{
    struct https_case { const char *options; const char *verification; };
    const https_case cases[] = {
        {R"({"https":true})", "system"},
        {R"({"https":true,"verify":true})", "system"},
        {R"({"https":true,"verify":false})", "none"},
        {R"({"https":true,"ca_file":"ca.pem"})", "ca_file"},
        {R"({"https":true,"fingerprint_sha256":"AB:cd:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89"})",
         "fingerprint"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        // Port 0 with https means 5001; nothing listens there in a test
        // (a refused connection fails at once).
        connect_with(c.options, -1);
        const session_view s = copy_session();
        EXPECT_EQ(5001, s.port);
        EXPECT_TRUE(s.security.tls);
        const std::string info = ds_session_info();
        EXPECT_NE(std::string::npos, info.find(std::string("\"verification\":\"") + c.verification + "\""))
            << info;
    }
    EXPECT_EQ("abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789",
              copy_session().security.fingerprint_sha256);
    ds_connect("127.0.0.1", -1, "user", "pass");  // whatever answers on 5000, if anything
    EXPECT_EQ(5000, copy_session().port);
    EXPECT_FALSE(copy_session().security.tls);
}

}  // namespace
