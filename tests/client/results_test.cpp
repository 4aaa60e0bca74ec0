#include "synology_ds.h"
#include "synology.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ErrorTable, CodesAndTheirTexts)
{
    struct code_case { int code; const char *text; };
    const code_case cases[] = {
        {100, "Unknown error"},
        {101, "Invalid parameter"},
        {102, "The requested API does not exist"},
        {103, "The requested method does not exist"},
        {104, "The requested version does not support the functionality"},
        {105, "The logged in session does not have permission"},
        {106, "Session timeout"},
        {107, "Session interrupted by duplicate login"},
        {108, "Failed to upload the file"},
        {119, "Invalid SID"},
        {400, "File upload failed"},
        {401, "Max number of tasks reached"},
        {402, "Destination denied"},
        {403, "Destination denied"},
        {404, "Invalid task id"},
        {405, "Invalid task action"},
        {406, "No default destination or invalid parameter"},
        {407, "Set destination failed"},
        {408, "File does not exist"},
        {409, "Two-step verification failed"},
        {410, "Password expired"},
        {411, "Account disabled"},
        {412, "Permission denied"},
        {413, "Two-step authentication enforced"},
        {414, "App password required"},
        {0, "Synology error"},
        {-1, "Synology error"},
        {109, "Synology error"},
        {118, "Synology error"},
        {415, "Synology error"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(c.text, syno_error_str(c.code));
    }
}

TEST(CookieHeader, IdAndDeviceId)
{
    session_view s;
    EXPECT_STREQ("", get_cookie_header(s));
    s.sid = "abc";
    EXPECT_STREQ("id=abc", get_cookie_header(s));
    s.did = "xyz";
    EXPECT_STREQ("id=abc; did=xyz", get_cookie_header(s));
    s.sid = std::string(511, 's');
    s.did = std::string(511, 'd');
    EXPECT_EQ("id=" + s.sid + "; did=" + s.did, std::string(get_cookie_header(s)));
}

TEST(LastError, StartsEmptyAndIsCutAt1023)
{
    EXPECT_STREQ("", ds_last_error());
    EXPECT_STREQ("2.0.0", ds_version());
    EXPECT_EQ(0, ds_is_connected());
    std::string long_text(5000, 'x');
    set_error("%s", long_text.c_str());
    EXPECT_EQ(std::string(1023, 'x'), ds_last_error());
    EXPECT_EQ(ds_last_error(), ds_last_error());  // the buffer itself, not a copy
}

TEST(LastError, EachThreadHasItsOwn)
{
    ASSERT_EQ(-1, ds_set_timeout(0));
    std::string other_before, other_after;
    int other_result = 0;
    std::thread other([&] {
        other_before = ds_last_error();
        other_result = ds_set_timeout(301);
        other_after = ds_last_error();
    });
    other.join();
    EXPECT_EQ("", other_before);
    EXPECT_EQ(-1, other_result);
    EXPECT_EQ("Invalid timeout: 301 (must be between 1 and 300 seconds)", other_after);
    EXPECT_STREQ("Invalid timeout: 0 (must be between 1 and 300 seconds)", ds_last_error());
    EXPECT_EQ(0, ds_set_timeout(10));
    EXPECT_STREQ("", ds_last_error());
}

TEST(SetTimeout, AcceptsOneTo300)
{
    struct timeout_case { int seconds, result; const char *error; };
    const timeout_case cases[] = {
        {0, -1, "Invalid timeout: 0 (must be between 1 and 300 seconds)"},
        {301, -1, "Invalid timeout: 301 (must be between 1 and 300 seconds)"},
        {-5, -1, "Invalid timeout: -5 (must be between 1 and 300 seconds)"},
        {1, 0, ""},
        {300, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(c.result, ds_set_timeout(c.seconds));
        EXPECT_STREQ(c.error, ds_last_error());
    }
    EXPECT_EQ(300, copy_session().timeout_sec);  // the rejected values changed nothing
}

TEST(HandOver, ResultsOfAnySizeArriveWhole)
{
    for (size_t size : {size_t{524287}, size_t{524288}, size_t{5} << 20}) {
        SCOPED_TRACE(size);
        std::string text(size, 'r');
        const char *result = hand_over(text, "{}");
        EXPECT_EQ(size, std::strlen(result));
        EXPECT_TRUE(text == result);
    }
}

TEST(HandOver, TooLargeFailsAndKeepsThePreviousResult)
{
    const char *kept = hand_over(std::string_view("previous"), "[]");
    clear_error();
    std::string huge(result_limit + 1, 'h');
    EXPECT_STREQ("[]", hand_over(huge, "[]"));
    EXPECT_STREQ("Result too large (over 64 MiB)", ds_last_error());
    EXPECT_STREQ("previous", kept);
}

TEST(HandOver, EachThreadKeepsItsOwnResult)
{
    const char *mine = hand_over(std::string_view("mine"), "{}");
    std::string theirs;
    std::thread other([&] { theirs = hand_over(std::string_view("theirs"), "{}"); });
    other.join();
    EXPECT_STREQ("mine", mine);
    EXPECT_EQ("theirs", theirs);
}

TEST(WriteJson, MinifiedAndDeepNestingIsSafe)
{
    json_document d;
    const std::string text = R"({ "a" : [1, -2, 0.25, 1.0, 18446744073709551615, "x/\u00e9\n", true, null, {}], "b":[] })";
    ASSERT_TRUE(parse_answer_body(text.data(), text.size(), d));
    json_text out;
    ASSERT_TRUE(write_json(d, out));
    EXPECT_STREQ("{\"a\":[1,-2,0.25,1.0,18446744073709551615,\"x/\xC3\xA9\\n\",true,null,{}],\"b\":[]}", out.GetString());

    const size_t depth = 1000000;
    std::string deep = std::string(depth, '[') + std::string(depth, ']');
    json_document nested;
    ASSERT_TRUE(parse_answer_body(deep.data(), deep.size(), nested));
    json_text written;
    ASSERT_TRUE(write_json(nested, written));
    EXPECT_TRUE(deep == written.GetString());
}

TEST(ParseAnswer, ValuesReadExactly)
{
    struct number_case { const char *json, *written; };
    const number_case cases[] = {
        {"[0E252]", "[0.0]"},  // read as -7.4e-68 by the library's own conversion
        {"[0.1,1e3,2.5E-3]", "[0.1,1000.0,0.0025]"},
        {"[1e-400,-1e-400]", "[0.0,-0.0]"},
        {"[-0,0,-1]", "[0,0,-1]"},
        {"[9223372036854775807,-9223372036854775808]", "[9223372036854775807,-9223372036854775808]"},
        {"[18446744073709551616]", "[18446744073709553000.0]"},
        {"[1.5e300,-2E-5]", "[1.5e300,-0.00002]"},
        {"[\"\\ud83d\\ude00\\u00e9\\/\"]", "[\"\xF0\x9F\x98\x80\xC3\xA9/\"]"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        json_document d;
        ASSERT_TRUE(parse_answer_body(c.json, std::strlen(c.json), d));
        json_text out;
        ASSERT_TRUE(write_json(d, out));
        EXPECT_STREQ(c.written, out.GetString());
    }
}

TEST(ParseAnswer, RefusesWhatIsNotStrictJson)
{
    for (const std::string &text : std::vector<std::string>{"", "[1e400]", "[01]", "[1.]", "{\"a\":1,}", "[NaN]", "{} {}", "[\"\xC3\"]", "[\"\\udcc5\"]", "{\"\\ud800x\":1}",
                             std::string("{}\0", 3), "// c\n{}", "{'a':1}"}) {
        SCOPED_TRACE(text);
        json_document d;
        EXPECT_FALSE(parse_answer_body(text.data(), text.size(), d));
    }
}

}  // namespace
