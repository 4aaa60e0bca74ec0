// Listing the shared folders and the sub-folders of a path.
#include "client_fixture.h"

#include <string>

namespace {

class BrowseTest : public client_test {};

const char shares_line[] =
    "GET /webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list_share&_sid=SID HTTP/1.1";

TEST_F(BrowseTest, SharesBecomeReducedEntriesInStationOrder)
{
    log_in(true);
    server.answer_json(R"({"success":true,"data":{"total":2,"offset":0,"shares":[)"
                       R"({"isdir":true,"path":"/video","name":"video","additional":{"x":1},"desc":"Films"},)"
                       R"({"name":"m\u00fcsic","path":"/m\u00fcsic","desc":"a \"q\" \/","isdir":false}]}})");
    EXPECT_STREQ(R"([{"name":"video","path":"/video","desc":"Films","isdir":true},)"
                 R"({"name":"m)" "\xC3\xBC" R"(sic","path":"/m)" "\xC3\xBC" R"(sic","desc":"a \"q\" /","isdir":false}])",
                 ds_list_shares());
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(shares_line, last_request_line());
    EXPECT_NE(std::string::npos, server.last_request().find("\r\nCookie: id=SID; did=DID\r\n"));
}

struct odd_case {
    const char *name, *items, *shares, *folders;
};
const odd_case odd_cases[] = {
    {"number, string, empty object, array, null", R"([1,"video",{},[],null])",
     R"([{"name":"","path":"","desc":"","isdir":false},{"name":"","path":"","desc":"","isdir":false},)"
     R"({"name":"","path":"","desc":"","isdir":false},{"name":"","path":"","desc":"","isdir":false},)"
     R"({"name":"","path":"","desc":"","isdir":false}])",
     R"([{"name":"","path":"","isdir":false},{"name":"","path":"","isdir":false},{"name":"","path":"","isdir":false},)"
     R"({"name":"","path":"","isdir":false},{"name":"","path":"","isdir":false}])"},
    {"members of other types", R"([{"name":5,"path":null,"desc":["d"],"isdir":"true"},{"isdir":1}])",
     R"([{"name":"","path":"","desc":"","isdir":false},{"name":"","path":"","desc":"","isdir":false}])",
     R"([{"name":"","path":"","isdir":false},{"name":"","path":"","isdir":false}])"},
    {"first of a name wins, case matters",
     R"([{"name":"a","name":"b","Name":"c","isdir":true,"isdir":false,"PATH":"/p"}])",
     R"([{"name":"a","path":"","desc":"","isdir":true}])", R"([{"name":"a","path":"","isdir":true}])"},
    {"strings unchanged", R"([{"name":" a\u0000b ","path":"//x//y/"}])",
     R"([{"name":" a\u0000b ","path":"//x//y/","desc":"","isdir":false}])",
     R"([{"name":" a\u0000b ","path":"//x//y/","isdir":false}])"},
};

TEST_F(BrowseTest, OddElementsStillGiveOneEntryEach)
{
    log_in();
    for (const auto &c : odd_cases) {
        SCOPED_TRACE(c.name);
        server.answer_json(std::string(R"({"success":true,"data":{"shares":)") + c.items + "}}");
        EXPECT_STREQ(c.shares, ds_list_shares());
        server.answer_json(std::string(R"({"success":true,"data":{"files":)") + c.items + "}}");
        EXPECT_STREQ(c.folders, ds_list_folders("video"));
        EXPECT_STREQ("", ds_last_error());
    }
}

TEST_F(BrowseTest, FoldersBecomeEntriesWithoutDesc)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"files":[)"
                       R"({"isdir":true,"name":"films","path":"/video/films","desc":"dropped"},)"
                       R"({"name":"notes.txt","path":"/video/notes.txt","isdir":false}]}})");
    EXPECT_STREQ(R"([{"name":"films","path":"/video/films","isdir":true},)"
                 R"({"name":"notes.txt","path":"/video/notes.txt","isdir":false}])",
                 ds_list_folders("video"));
    EXPECT_STREQ("", ds_last_error());
}

struct empty_case {
    const char *name, *body;
};
const empty_case empty_cases[] = {
    {"no data", R"({"success":true})"},
    {"data not an object", R"({"success":true,"data":[{"name":"x"}]})"},
    {"no item array", R"({"success":true,"data":{"total":0}})"},
    {"items not an array", R"({"success":true,"data":{"shares":{"name":"x"},"files":{"name":"x"}}})"},
    {"empty array", R"({"success":true,"data":{"shares":[],"files":[]}})"},
};

TEST_F(BrowseTest, NoItemsGiveAnEmptyArrayWithoutMessage)
{
    log_in();
    for (const auto &c : empty_cases) {
        SCOPED_TRACE(c.name);
        server.answer_json(c.body);
        EXPECT_STREQ("[]", ds_list_shares());
        EXPECT_STREQ("", ds_last_error());
        server.answer_json(c.body);
        EXPECT_STREQ("[]", ds_list_folders("/video"));
        EXPECT_STREQ("", ds_last_error());
    }
}

TEST_F(BrowseTest, FilesAreNotSharesAndSharesAreNotFiles)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"files":[{"name":"f"}]}})");
    EXPECT_STREQ("[]", ds_list_shares());
    server.answer_json(R"({"success":true,"data":{"shares":[{"name":"s"}]}})");
    EXPECT_STREQ("[]", ds_list_folders("video"));
}

struct path_case {
    const char *folder_path, *encoded;
};
const path_case path_cases[] = {
    {"video", "%2Fvideo"},
    {"/video", "%2Fvideo"},
    {"a/b/", "%2Fa%2Fb%2F"},
    {"/", "%2F"},
    {"//x", "%2F%2Fx"},
    {"\\share", "%2F%5Cshare"},
    {"my films & more/%20", "%2Fmy%20films%20%26%20more%2F%2520"},
};

TEST_F(BrowseTest, FolderPathIsMadeAbsoluteAndEncoded)
{
    log_in();
    for (const auto &c : path_cases) {
        SCOPED_TRACE(c.folder_path);
        server.answer_json(R"({"success":true,"data":{"files":[]}})");
        EXPECT_STREQ("[]", ds_list_folders(c.folder_path));
        EXPECT_EQ(get_line(std::string("/webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list&folder_path=") +
                           c.encoded + "&filetype=dir&_sid=SID"),
                  last_request_line());
    }
}

TEST_F(BrowseTest, LongFolderPathIsSentWhole)
{
    log_in();
    const std::string name(2000, 'n');
    server.answer_json(R"({"success":true,"data":{"files":[]}})");
    ds_list_folders(name.c_str());
    EXPECT_EQ(get_line("/webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list&folder_path=%2F" +
                       name + "&filetype=dir&_sid=SID"),
              last_request_line());
}

TEST_F(BrowseTest, EmptyFolderPathIsRefusedWithoutARequest)
{
    log_in();
    for (const char *folder_path : {static_cast<const char *>(nullptr), ""}) {
        EXPECT_STREQ("[]", ds_list_folders(folder_path));
        EXPECT_STREQ("Share path cannot be empty", ds_last_error());
    }
    EXPECT_EQ(0u, server.connection_count());
}

struct failure_case {
    const char *name;
    const char *body;  // null: the connection closes without an answer
    const char *shares_error, *folders_error;
};
const failure_case failure_cases[] = {
    {"station code", R"({"success":false,"error":{"code":408}})",
     "List shares failed (code 408: File does not exist)",
     "List folders in video failed (code 408: File does not exist)"},
    {"no error", R"({"success":false,"data":{"shares":[{}],"files":[{}]}})",
     "List shares failed (code 0: Synology error)", "List folders in video failed (code 0: Synology error)"},
    {"not JSON", "<html>", "Failed to parse list shares JSON: <html>",
     "Failed to parse list folders JSON: <html>"},
    {"transport", nullptr, "HTTP list shares request failed: Empty response from server",
     "HTTP list folders request failed: Empty response from server"},
};

TEST_F(BrowseTest, FailuresGiveEmptyArrayAndOneMessage)
{
    log_in();
    for (const auto &c : failure_cases) {
        SCOPED_TRACE(c.name);
        if (c.body) server.answer_json(c.body);
        else server.close_without_answer();
        EXPECT_STREQ("[]", ds_list_shares());
        EXPECT_STREQ(c.shares_error, ds_last_error());
        if (c.body) server.answer_json(c.body);
        else server.close_without_answer();
        EXPECT_STREQ("[]", ds_list_folders("video"));
        EXPECT_STREQ(c.folders_error, ds_last_error());
    }
}

TEST_F(BrowseTest, EmptyBodyIsNamedEmpty)
{
    log_in();
    server.answer("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_STREQ("[]", ds_list_folders("video"));
    EXPECT_STREQ("Failed to parse list folders JSON: empty", ds_last_error());
}

TEST_F(BrowseTest, FolderFailureNamesThePathAsPassed)
{
    log_in();
    server.answer_json(R"({"success":false,"error":{"code":408}})");
    EXPECT_STREQ("[]", ds_list_folders("/100%s %d/"));
    EXPECT_STREQ("List folders in /100%s %d/ failed (code 408: File does not exist)", ds_last_error());
}

TEST_F(BrowseTest, FailureLeavesThePreviousResultAlone)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"shares":[{"name":"kept"}]}})");
    const char *kept = ds_list_shares();
    server.answer_json(R"({"success":false,"error":{"code":105}})");
    const char *failed = ds_list_folders("video");
    EXPECT_STREQ("[]", failed);
    EXPECT_NE(kept, failed);
    EXPECT_STREQ(R"([{"name":"kept","path":"","desc":"","isdir":false}])", kept);
}

TEST_F(BrowseTest, ResultOverHalfAMebibyteIsHandedOverWhole)
{
    log_in();
    const std::string name(600 * 1024, 'n');
    server.answer_json(R"({"success":true,"data":{"files":[{"name":")" + name + R"(","isdir":true}]}})");
    EXPECT_EQ(R"([{"name":")" + name + R"(","path":"","isdir":true}])", std::string(ds_list_folders("video")));
    EXPECT_STREQ("", ds_last_error());
}

TEST_F(BrowseTest, ResultOverSixtyFourMebibytesFails)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"shares":[{"name":"kept"}]}})");
    const char *kept = ds_list_shares();
    // 1.6 million empty objects, 45 bytes of entry each: 72 MB written.
    std::string items;
    items.reserve(3 * 1600000);
    for (int i = 0; i < 1600000; ++i) items += "{},";
    items.pop_back();
    server.answer_json(R"({"success":true,"data":{"shares":[)" + items + "]}}");
    EXPECT_STREQ("[]", ds_list_shares());
    EXPECT_STREQ("Result too large (over 64 MiB)", ds_last_error());
    EXPECT_STREQ(R"([{"name":"kept","path":"","desc":"","isdir":false}])", kept);
}

TEST_F(BrowseTest, NotConnectedSendsNothingAndComesBeforeTheArgumentCheck)
{
    EXPECT_STREQ("[]", ds_list_shares());
    EXPECT_STREQ("Not connected to NAS", ds_last_error());
    for (const char *folder_path : {static_cast<const char *>(nullptr), "", "video"}) {
        EXPECT_STREQ("[]", ds_list_folders(folder_path));
        EXPECT_STREQ("Not connected to NAS", ds_last_error());
    }
    EXPECT_EQ(0u, server.connection_count());
}

}  // namespace
