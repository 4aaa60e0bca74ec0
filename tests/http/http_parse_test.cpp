#include "http_client.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct parsed {
    int rc;
    int status;
    std::string headers;
    std::string body;
    bool has_headers;
    std::string error;
};

parsed parse(const std::string &raw)
{
    scoped_response r;
    char error[http_error_capacity] = "unchanged";
    parsed p{};
    p.rc = http_parse_response(raw.data(), raw.size(), &r, error, sizeof error);
    p.status = r.status_code;
    p.has_headers = r.headers != nullptr;
    if (r.headers) p.headers = r.headers;
    if (r.body) p.body.assign(r.body, r.body_len);
    if (p.rc != 0) p.error = error;
    return p;
}

TEST(HttpParse, SplitsHeadAndBody)
{
    parsed p = parse("HTTP/1.1 404 Not Found\r\n\r\nabc");
    EXPECT_EQ(0, p.rc);
    EXPECT_EQ(404, p.status);
    EXPECT_EQ("HTTP/1.1 404 Not Found", p.headers);
    EXPECT_EQ("abc", p.body);
}

TEST(HttpParse, StatusNumberOnlyForHttp1)
{
    struct status_case { const char *raw; int status; };
    const status_case cases[] = {
        {"HTTP/1.0 200 OK\r\n\r\n", 200},
        {"HTTP/1.1   503 Busy\r\n\r\n", 503},
        {"HTTP/1.1 20x\r\n\r\n", 20},
        {"HTTP/2 200 OK\r\n\r\n", 0},
        {"http/1.1 200 OK\r\n\r\n", 0},
        {"ICY 200 OK\r\n\r\n", 0},
        {"HTTP/1.\n\n", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.raw);
        parsed p = parse(c.raw);
        EXPECT_EQ(0, p.rc);
        EXPECT_EQ(c.status, p.status);
    }
}

TEST(HttpParse, BareLineFeedBoundaryOnlyWithoutCrLfPair)
{
    parsed bare = parse("HTTP/1.1 200 OK\nX: y\n\nbody");
    EXPECT_EQ("HTTP/1.1 200 OK\nX: y", bare.headers);
    EXPECT_EQ("body", bare.body);
    // The CR LF pair wins wherever it is, even after a "\n\n".
    parsed both = parse("HTTP/1.1 200 OK\n\nmid\r\n\r\nend");
    EXPECT_EQ("HTTP/1.1 200 OK\n\nmid", both.headers);
    EXPECT_EQ("end", both.body);
}

TEST(HttpParse, MalformedAndEmptyAnswersFail)
{
    parsed no_boundary = parse("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nabc");
    EXPECT_EQ(-1, no_boundary.rc);
    EXPECT_EQ("Malformed HTTP response (no header boundary)", no_boundary.error);
    EXPECT_EQ(-1, parse("").rc);
    EXPECT_EQ("Empty response from server", parse("").error);
    // The boundary search reads text: it stops at a NUL byte.
    parsed hidden = parse(std::string("HTTP/1.1 200 OK\0\r\n\r\nabc", 24));
    EXPECT_EQ(-1, hidden.rc);
    EXPECT_EQ("Malformed HTTP response (no header boundary)", hidden.error);
}

TEST(HttpParse, TlsRecordAnswerIsNamed)
{
    const char tls_error[] = "The station answered with TLS: use https";
    struct record_case { std::string raw; int rc; const char *error; };
    const record_case cases[] = {
        {std::string("\x15\x03\x01\x00\x02\x02\x46", 7), -1, tls_error},  // a fatal alert
        {std::string("\x16\x03\x03\x00\x04\r\n\r\n", 9), -1, tls_error},  // a handshake record
        {std::string("\x15\x03", 2), -1, tls_error},
        {std::string("\x15", 1), -1, "Malformed HTTP response (no header boundary)"},
        {std::string("\x17\x03\x03\r\n\r\n", 7), 0, ""},
        {std::string("\x16\x02\r\n\r\n", 6), 0, ""},
        {std::string("H\x15\x03\r\n\r\n", 7), 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.raw));
        parsed p = parse(c.raw);
        EXPECT_EQ(c.rc, p.rc);
        EXPECT_EQ(c.error, p.error);
        EXPECT_EQ(c.rc == 0, p.has_headers);
    }
}

TEST(HttpParse, BodyKeepsNulBytes)
{
    parsed p = parse(std::string("HTTP/1.1 200 OK\r\n\r\na\0b", 22));
    EXPECT_EQ(std::string("a\0b", 3), p.body);
}

TEST(HttpParse, ChunkedBodiesAreDecoded)
{
    struct chunked_case { const char *name, *head_line, *raw_body, *expected; };
    const chunked_case cases[] = {
        {"plain", "Transfer-Encoding: chunked", "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n", "abcde"},
        {"lower case", "transfer-encoding: chunked", "3\r\nabc\r\n0\r\n\r\n", "abc"},
        {"capital word", "Transfer-Encoding: CHUNKED", "3\r\nabc\r\n0\r\n\r\n", "abc"},
        {"extension", "Transfer-Encoding: chunked", "3\r\nabc\r\n2;name=value\r\nde\r\n0\r\n\r\n", "abcde"},
        {"hex sizes", "Transfer-Encoding: chunked", "A\r\n0123456789\r\n0\r\n\r\n", "0123456789"},
        {"cut short", "Transfer-Encoding: chunked", "3\r\nabc\r\n8\r\nde", "abcde"},
        {"no last chunk", "Transfer-Encoding: chunked", "3\r\nabc\r\n", "abc"},
        {"trailers ignored", "Transfer-Encoding: chunked", "1\r\nx\r\n0\r\nTrailer: t\r\n\r\n", "x"},
        {"garbage size", "Transfer-Encoding: chunked", "zz\r\nabc", ""},
        {"bare line feeds", "Transfer-Encoding: chunked", "3\nabc\n2\nde\n0\n\n", "abcde"},
        {"two spaces is not chunked", "Transfer-Encoding:  chunked", "3\r\nabc\r\n0\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        parsed p = parse(std::string("HTTP/1.1 200 OK\r\n") + c.head_line + "\r\n\r\n" + c.raw_body);
        EXPECT_EQ(0, p.rc);
        EXPECT_EQ(c.expected, p.body);
    }
}

TEST(HttpParse, ChunkSizeBeyondTheDataTakesWhatArrived)
{
    parsed p = parse("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFF\r\nabc");
    EXPECT_EQ("abc", p.body);
}

TEST(HttpResponseFree, IsSafeTwiceAndOnNull)
{
    http_response r{};
    ASSERT_EQ(0, http_parse_response("HTTP/1.1 200 OK\r\n\r\nx", 20, &r, nullptr, 0));
    http_response_free(&r);
    EXPECT_EQ(nullptr, r.body);
    EXPECT_EQ(nullptr, r.headers);
    EXPECT_EQ(0u, r.body_len);
    EXPECT_EQ(0, r.status_code);
    http_response_free(&r);
    http_response_free(nullptr);
}

}  // namespace
