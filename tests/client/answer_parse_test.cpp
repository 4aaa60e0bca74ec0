// The bytes an answer may hold: the one pass that lets the task answers be
// read in place must accept exactly what the validating reader accepts.
#include "answer_parse.h"
#include "synology.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The pass leaves to the reader what the reader refuses with or without
// its encoding check: raw control bytes and unknown escapes.
enum verdict { accepted, refused, left_to_reader };

struct bytes_case {
    const char *name;
    std::string text;  // the inside of a JSON string
    verdict read;
};

// Each text stands inside a string of an answer, at two offsets from the
// pass's eight-byte steps.
const bytes_case bytes_cases[] = {
    {"plain", "downloads/images", accepted},
    {"empty", "", accepted},
    {"two bytes, lowest", "\xC2\x80", accepted},
    {"two bytes, highest", "\xDF\xBF", accepted},
    {"three bytes, lowest", "\xE0\xA0\x80", accepted},
    {"below the surrogates", "\xED\x9F\xBF", accepted},
    {"above the surrogates", "\xEE\x80\x80", accepted},
    {"three bytes, highest", "\xEF\xBF\xBF", accepted},
    {"DEL byte", "\x7F", accepted},
    {"four bytes, lowest", "\xF0\x90\x80\x80", accepted},
    {"four bytes, highest", "\xF4\x8F\xBF\xBF", accepted},
    {"text in several scripts", "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", accepted},
    {"overlong two bytes", "\xC0\xAF", refused},
    {"overlong two bytes, highest", "\xC1\xBF", refused},
    {"overlong three bytes", "\xE0\x9F\xBF", refused},
    {"overlong four bytes", "\xF0\x8F\xBF\xBF", refused},
    {"encoded high surrogate", "\xED\xA0\x80", refused},
    {"encoded low surrogate", "\xED\xBF\xBF", refused},
    {"past U+10FFFF", "\xF4\x90\x80\x80", refused},
    {"lead byte F5", "\xF5\x80\x80\x80", refused},
    {"byte FF", "\xFF", refused},
    {"lone continuation", "\x80", refused},
    {"continuation after plain text", "ab\xBF", refused},
    {"two bytes cut", "\xC3", refused},
    {"three bytes cut", "\xE2\x82", refused},
    {"four bytes cut", "\xF0\x9F\x98", refused},
    {"continuation missing", "\xC3(", refused},
    {"third byte no continuation", "\xE2\x82(", refused},
    {"raw control byte", "a\x1F" "b", left_to_reader},
    {"raw tab", "a\tb", left_to_reader},
    {"escaped controls", "\\b\\f\\n\\r\\t\\u001f\\u0000", accepted},
    {"escaped quote and backslash", "\\\"\\\\\\/", accepted},
    {"escaped letter", "\\u00e9", accepted},
    {"surrogate pair", "\\ud83d\\ude00", accepted},
    {"surrogate pair in capitals", "\\uD83D\\uDE00", accepted},
    {"highest pair", "\\udbff\\udfff", accepted},
    {"lone low surrogate", "\\udc00", refused},
    {"lone low surrogate in capitals", "\\uDFFF", refused},
    {"low surrogate before a high one", "\\udc00\\ud800", refused},
    {"lone high surrogate", "\\ud800", refused},
    {"high surrogate before a letter", "\\ud800\\u0041", refused},
    {"high surrogate before a high one", "\\ud800\\ud800\\udc00", refused},
    {"escaped backslash before u", "\\\\udc00", accepted},
    {"escape cut short", "\\u00", refused},
    {"escape of no hex digits", "\\u00g0", refused},
    {"unknown escape", "\\x", left_to_reader},
    {"escape before a NUL byte", std::string("\\\0", 2), refused},
    {"NUL byte", std::string("a\0b", 3), refused},
};

std::string answer_with_title(const std::string &padding, const std::string &title)
{
    return padding + R"({"success":true,"data":{"tasks":[{"title":")" + title + R"("}]}})";
}

TEST(AnswerBytes, AcceptExactlyWhatTheValidatingReaderAccepts)
{
    for (const auto &c : bytes_cases) {
        for (const std::string padding : {"", "   "}) {
            SCOPED_TRACE(testing::Message() << c.name << ", after " << padding.size() << " blanks");
            std::string answer = answer_with_title(padding, c.text);
            EXPECT_EQ(c.read != refused, answer_bytes_valid(answer.data(), answer.size()));
            json_document document;
            EXPECT_EQ(c.read == accepted, parse_answer_body(answer.data(), answer.size(), document));
            json_text record;  // last: the answer is read in place
            EXPECT_EQ(c.read == accepted, read_first_task(answer.data(), answer.size(), record).envelope.parsed);
        }
    }
}

TEST(AnswerBytes, InvalidByteAfterLongPlainRuns)
{
    for (size_t plain = 0; plain <= 24; ++plain) {
        SCOPED_TRACE(plain);
        const std::string run(plain, 'a');
        EXPECT_TRUE(answer_bytes_valid((run + "\xC3\xA9").data(), plain + 2));
        EXPECT_FALSE(answer_bytes_valid((run + "\xC3").data(), plain + 1));
        EXPECT_FALSE(answer_bytes_valid((run + std::string("\0", 1) + run).data(), 2 * plain + 1));
        EXPECT_FALSE(answer_bytes_valid((run + "\\udc00" + run).data(), 2 * plain + 6));
        EXPECT_TRUE(answer_bytes_valid((run + "\\\\udc00" + run).data(), 2 * plain + 7));
    }
}

// The reader's stream passes over a leading EF, BB and BF, each on its own.
TEST(AnswerBytes, ByteOrderMarkAndItsParts)
{
    struct mark_case { std::string body; size_t length; };
    const mark_case cases[] = {
        {"{}", 0},
        {"\xEF\xBB\xBF{}", 3},
        {"\xEF{}", 1},
        {"\xBB{}", 1},
        {"\xBF{}", 1},
        {"\xEF\xBF{}", 2},
        {"\xBB\xBF{}", 2},
        {"\xBF\xBB{}", 1},
        {"\xEF\xEF{}", 1},
        {"\xEF\xBB\xBF\xEF{}", 3},
        {"\xEF\xBB", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.body));
        EXPECT_EQ(c.length, byte_order_mark_length(c.body.data(), c.body.size()));
    }
}

}  // namespace
