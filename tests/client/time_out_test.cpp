// Which time-out each request waits with, seen through the exchange: a
// scripted station answers late, and the call either waits for it or gives up.
#include "client_fixture.h"

#include <chrono>
#include <fstream>
#include <string>

namespace {

using std::chrono::milliseconds;

const std::string info_answer = script_server::json_response(R"({"success":true,"data":{"v":1}})");
const std::string ok_answer = script_server::json_response(R"({"success":true})");

class TimeOutTest : public client_test {};

TEST_F(TimeOutTest, SessionTimeOutReachesEveryRequest)
{
    log_in();
    ASSERT_EQ(0, ds_set_timeout(3));
    server.answer_after(milliseconds(2500), info_answer);
    EXPECT_STREQ(R"({"v":1})", ds_info());
    EXPECT_STREQ("", ds_last_error());

    ASSERT_EQ(0, ds_set_timeout(1));
    server.answer_after(milliseconds(2500), info_answer);
    EXPECT_STREQ("{}", ds_info());
    EXPECT_STREQ("HTTP info request failed: Empty response from server", ds_last_error());
}

// Adding a download waits at least 15 seconds, an upload at least 30,
// whatever the session's time-out.
TEST_F(TimeOutTest, AddingWaitsLongerThanAShortSessionTimeOut)
{
    log_in();
    ASSERT_EQ(0, ds_set_timeout(1));
    server.answer_after(milliseconds(2500), ok_answer);
    EXPECT_EQ(0, ds_add_url("https://example.org/a.iso", nullptr));
    EXPECT_STREQ("", ds_last_error());

    const std::string torrent = ::testing::TempDir() + "time_out_test.torrent";
    std::ofstream(torrent, std::ios::binary) << "d4:infoe";
    server.answer_after(milliseconds(2500), ok_answer);
    EXPECT_EQ(0, ds_add_torrent(torrent.c_str(), "downloads"));
    EXPECT_STREQ("", ds_last_error());
}

// Ping and logout wait 5 seconds, neither the session's 1 nor its 30.
TEST_F(TimeOutTest, PingAndLogoutWaitFiveSeconds)
{
    log_in();
    ASSERT_EQ(0, ds_set_timeout(1));
    server.answer_after(milliseconds(2500), ok_answer);
    EXPECT_EQ(1, ds_ping());

    ASSERT_EQ(0, ds_set_timeout(30));
    server.answer_after(milliseconds(7500), ok_answer);
    EXPECT_EQ(0, ds_ping());
    EXPECT_STREQ("Ping request failed: Empty response from server", ds_last_error());

    script_server late;
    late.answer_json(R"({"success":true,"data":{"sid":"S2"}})");
    ASSERT_EQ(0, ds_connect("127.0.0.1", late.port(), "user", "pass"));
    late.answer_after(milliseconds(7500), ok_answer);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ds_disconnect());
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(7000));
    EXPECT_EQ(2u, late.connection_count());
}

}  // namespace
