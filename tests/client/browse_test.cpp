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

// Answers for both calls: each reads only its own member of data.
const answer_case<const char *> empty_cases[] = {
    {"no data", R"({"success":true})", "[]", ""},
    {"data not an object", R"({"success":true,"data":[{"name":"x"}]})", "[]", ""},
    {"no item array", R"({"success":true,"data":{"total":0}})", "[]", ""},
    {"items not an array", R"({"success":true,"data":{"shares":{"name":"x"},"files":{"name":"x"}}})", "[]", ""},
    {"empty array", R"({"success":true,"data":{"shares":[],"files":[]}})", "[]", ""},
};

TEST_F(BrowseTest, NoItemsGiveAnEmptyArrayWithoutMessage)
{
    log_in();
    expect_answers(empty_cases, ds_list_shares);
    expect_answers(empty_cases, [] { return ds_list_folders("/video"); });
}

TEST_F(BrowseTest, FilesAreNotSharesAndSharesAreNotFiles)
{
    log_in();
    server.answer_json(R"({"success":true,"data":{"files":[{"name":"f"}]}})");
    EXPECT_STREQ("[]", ds_list_shares());
    EXPECT_STREQ("", ds_last_error());
    server.answer_json(R"({"success":true,"data":{"shares":[{"name":"s"}]}})");
    EXPECT_STREQ("[]", ds_list_folders("video"));
    EXPECT_STREQ("", ds_last_error());
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
    EXPECT_STREQ("[]", ds_list_folders(name.c_str()));
    EXPECT_STREQ("", ds_last_error());
    EXPECT_EQ(get_line("/webapi/entry.cgi?api=SYNO.FileStation.List&version=2&method=list&folder_path=%2F" +
                       name + "&filetype=dir&_sid=SID"),
              last_request_line());
}

TEST_F(BrowseTest, EmptyFolderPathIsRefusedWithoutARequest)
{
    log_in();
    const unsent_case cases[] = {
        {"null", [] { return ds_list_folders(nullptr); }, "[]", "Share path cannot be empty"},
        {"empty", [] { return ds_list_folders(""); }, "[]", "Share path cannot be empty"},
    };
    expect_unsent(cases);
}

const answer_case<const char *> shares_failures[] = {
    {"station code", R"({"success":false,"error":{"code":408}})", "[]",
     "List shares failed (code 408: File does not exist)"},
    {"no error", R"({"success":false,"data":{"shares":[{}],"files":[{}]}})", "[]",
     "List shares failed (code 0: Synology error)"},
    {"not JSON", "<html>", "[]", "Failed to parse list shares JSON: <html>"},
    {"transport", nullptr, "[]", "HTTP list shares request failed: Empty response from server"},
};
const answer_case<const char *> folders_failures[] = {
    {"station code", R"({"success":false,"error":{"code":408}})", "[]",
     "List folders in video failed (code 408: File does not exist)"},
    {"no error", R"({"success":false,"data":{"shares":[{}],"files":[{}]}})", "[]",
     "List folders in video failed (code 0: Synology error)"},
    {"not JSON", "<html>", "[]", "Failed to parse list folders JSON: <html>"},
    {"transport", nullptr, "[]", "HTTP list folders request failed: Empty response from server"},
};

TEST_F(BrowseTest, FailuresGiveEmptyArrayAndOneMessage)
{
    log_in();
    expect_answers(shares_failures, ds_list_shares);
    expect_answers(folders_failures, [] { return ds_list_folders("video"); });
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
    EXPECT_STREQ("List folders in video failed (code 105: The logged in session does not have permission)",
                 ds_last_error());
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
    ASSERT_STREQ(R"([{"name":"kept","path":"","desc":"","isdir":false}])", kept);
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

}  // namespace
