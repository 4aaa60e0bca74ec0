// Every call that needs a session, made without one: its failure value and
// "Not connected to NAS", nothing sent, and that before the call looks at
// its own arguments (which it would refuse with a message of their own).
#include "client_fixture.h"

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

class NotConnectedTest : public client_test {
protected:
    std::string torrent;  // a file ds_add_torrent would upload

    void SetUp() override
    {
        torrent = ::testing::TempDir() + "not_connected_test.torrent";
        std::ofstream(torrent, std::ios::binary) << "d4:infoe";
    }

    std::vector<unsent_case> calls() const
    {
        const std::string &file = torrent;
        const char *const not_connected = "Not connected to NAS";
        return {
            {"ping", [] { return ds_ping(); }, 0, not_connected},
            {"list", [] { return ds_list_tasks(); }, "[]", not_connected},
            {"list filtered", [] { return ds_list_tasks_filtered("paused"); }, "[]", not_connected},
            {"list filtered, no filter", [] { return ds_list_tasks_filtered(nullptr); }, "[]", not_connected},
            {"get task", [] { return ds_get_task("dbid_1"); }, "{}", not_connected},
            {"get task, null id", [] { return ds_get_task(nullptr); }, "{}", not_connected},
            {"get task, empty id", [] { return ds_get_task(""); }, "{}", not_connected},
            {"pause", [] { return ds_pause("A"); }, -1, not_connected},
            {"pause, null ids", [] { return ds_pause(nullptr); }, -1, not_connected},
            {"pause, empty ids", [] { return ds_pause(""); }, -1, not_connected},
            {"resume", [] { return ds_resume("A"); }, -1, not_connected},
            {"resume, null ids", [] { return ds_resume(nullptr); }, -1, not_connected},
            {"resume, empty ids", [] { return ds_resume(""); }, -1, not_connected},
            {"delete", [] { return ds_delete("A", 1); }, -1, not_connected},
            {"delete, null ids", [] { return ds_delete(nullptr, 0); }, -1, not_connected},
            {"delete, empty ids", [] { return ds_delete("", 1); }, -1, not_connected},
            {"pause all", [] { return ds_pause_all(); }, -1, not_connected},
            {"resume all", [] { return ds_resume_all(); }, -1, not_connected},
            {"delete completed", [] { return ds_delete_completed(); }, -1, not_connected},
            {"add url", [] { return ds_add_url("http://x/", nullptr); }, -1, not_connected},
            {"add url, null url", [] { return ds_add_url(nullptr, "x"); }, -1, not_connected},
            {"add url, empty url", [] { return ds_add_url("", nullptr); }, -1, not_connected},
            {"add urls", [] { return ds_add_urls("http://x/", nullptr); }, -1, not_connected},
            {"add urls, null list", [] { return ds_add_urls(nullptr, nullptr); }, -1, not_connected},
            {"add urls, empty list", [] { return ds_add_urls("", nullptr); }, -1, not_connected},
            {"add urls, blank lines only", [] { return ds_add_urls(" \r\n\t\r\n", nullptr); }, -1, not_connected},
            {"add torrent", [file] { return ds_add_torrent(file.c_str(), nullptr); }, -1, not_connected},
            {"add torrent, missing file", [] { return ds_add_torrent("/no/such.torrent", nullptr); }, -1,
             not_connected},
            {"add torrent, null path", [] { return ds_add_torrent(nullptr, nullptr); }, -1, not_connected},
            {"add torrent, empty path", [] { return ds_add_torrent("", nullptr); }, -1, not_connected},
            {"add torrent, line break in destination", [file] { return ds_add_torrent(file.c_str(), "a\nb"); }, -1,
             not_connected},
            {"info", [] { return ds_info(); }, "{}", not_connected},
            {"stats", [] { return ds_stats(); }, "{}", not_connected},
            {"config", [] { return ds_get_config(); }, "{}", not_connected},
            {"speed limit", [] { return ds_set_speed_limit(500, 100); }, -1, not_connected},
            {"speed limit, both limits kept", [] { return ds_set_speed_limit(-1, -1); }, -1, not_connected},
            {"get default destination", [] { return ds_get_default_destination(); }, "", not_connected},
            {"set default destination", [] { return ds_set_default_destination("video"); }, -1, not_connected},
            {"set default destination, null", [] { return ds_set_default_destination(nullptr); }, -1, not_connected},
            {"set default destination, empty", [] { return ds_set_default_destination(""); }, -1, not_connected},
            {"list shares", [] { return ds_list_shares(); }, "[]", not_connected},
            {"list folders", [] { return ds_list_folders("video"); }, "[]", not_connected},
            {"list folders, null path", [] { return ds_list_folders(nullptr); }, "[]", not_connected},
            {"list folders, empty path", [] { return ds_list_folders(""); }, "[]", not_connected},
        };
    }
};

// Each way of being without a session leaves host and port at this station,
// so a call that went ahead all the same would reach it.
TEST_F(NotConnectedTest, EveryCallRefusesAtOnceAndSendsNothing)
{
    const std::pair<const char *, std::function<void()>> states[] = {
        {"after a logout",
         [this] {
             log_in();
             server.close_without_answer();
             EXPECT_EQ(0, ds_disconnect());
         }},
        {"after a refused login",
         [this] {
             log_in();
             server.answer_json(R"({"success":false,"error":{"code":400}})");
             EXPECT_EQ(400, ds_connect("127.0.0.1", server.port(), "user", "pass"));
         }},
        {"after a login answered without a session id",
         [this] {
             server.answer_json(R"({"success":true,"data":{}})");
             EXPECT_EQ(0, ds_connect("127.0.0.1", server.port(), "user", "pass"));
         }},
    };
    for (const auto &[name, reach_state] : states) {
        SCOPED_TRACE(name);
        reach_state();
        ASSERT_EQ(0, ds_is_connected());
        expect_unsent(calls());
    }
}

}  // namespace
