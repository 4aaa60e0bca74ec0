#include "http_client.h"
#include "script_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::milliseconds;

struct exchange {
    int rc;
    int status;
    std::string headers, body, error;
};

exchange run(const script_server &server, const char *method, const char *path, const char *cookie,
             const char *content_type, const char *body, size_t body_len, int timeout_sec = 5,
             const char *host = "127.0.0.1")
{
    scoped_response r;
    char error[http_error_capacity] = "unchanged";
    exchange e{};
    e.rc = http_request(method, host, server.port(), path, cookie, content_type, body, body_len,
                        timeout_sec, &r, error, sizeof error);
    e.status = r.status_code;
    if (r.headers) e.headers = r.headers;
    if (r.body) e.body.assign(r.body, r.body_len);
    e.error = error;
    return e;
}

exchange get(const script_server &server, const char *path = "/x")
{
    return run(server, "GET", path, nullptr, nullptr, nullptr, 0);
}

std::string host_line(const script_server &server)
{
    return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
}

TEST(HttpRequest, PlainGetSendsExactlyFourLines)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\n\r\n{}");
    exchange e = get(server, "/webapi/a?b=c");
    EXPECT_EQ(0, e.rc);
    EXPECT_EQ("", e.error);
    EXPECT_EQ("GET /webapi/a?b=c HTTP/1.1\r\n" + host_line(server) +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n\r\n",
              server.last_request());
}

TEST(HttpRequest, PostCarriesCookieContentTypeAndLength)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\n\r\n{}");
    exchange e = run(server, "POST", "/p", "id=abc; did=xyz", "text/plain", "0123456789", 10);
    EXPECT_EQ(0, e.rc);
    EXPECT_EQ("POST /p HTTP/1.1\r\n" + host_line(server) +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=abc; did=xyz\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n"
                  "0123456789",
              server.last_request());
}

TEST(HttpRequest, DefaultsAndBodilessLengths)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\n\r\n");
    server.answer("HTTP/1.1 200 OK\r\n\r\n");
    run(server, nullptr, nullptr, "id=s", nullptr, nullptr, 0);
    EXPECT_EQ("GET / HTTP/1.1\r\n" + host_line(server) +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\nCookie: id=s\r\n\r\n",
              server.last_request());
    // A body given with length 0 sends no Content-Length and no body.
    run(server, "POST", "/", nullptr, nullptr, "ignored", 0);
    EXPECT_EQ(std::string::npos, server.last_request().find("Content-Length"));
    EXPECT_EQ(std::string::npos, server.last_request().find("ignored"));
}

TEST(HttpRequest, LongRequestsAreSentWhole)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\n\r\nok");
    std::string path = "/long?v=" + std::string(100000, 'a');
    std::string cookie = "id=" + std::string(5000, 'c');
    exchange e = run(server, "GET", path.c_str(), cookie.c_str(), nullptr, nullptr, 0);
    EXPECT_EQ(0, e.rc);
    EXPECT_EQ("GET " + path + " HTTP/1.1\r\n" + host_line(server) +
                  "User-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\nCookie: " +
                  cookie + "\r\n\r\n",
              server.last_request());
}

TEST(HttpRequest, AnswerStatusHeadAndBody)
{
    script_server server;
    server.answer("HTTP/1.1 404 Not Found\r\n\r\nabc");
    exchange e = get(server);
    EXPECT_EQ(0, e.rc);
    EXPECT_EQ(404, e.status);
    EXPECT_EQ("HTTP/1.1 404 Not Found", e.headers);
    EXPECT_EQ("abc", e.body);
}

TEST(HttpRequest, ContentLengthIsIgnoredTheAnswerEndsAtClose)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabcdef");
    EXPECT_EQ("abcdef", get(server).body);
}

TEST(HttpRequest, ChunkedAnswerOverTheWire)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n");
    EXPECT_EQ("abcde", get(server).body);
}

TEST(HttpRequest, LargeAnswerArrivesWhole)
{
    script_server server;
    std::string body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += std::to_string(i) + ",";
    server.answer("HTTP/1.1 200 OK\r\n\r\n" + body);
    exchange e = get(server);
    EXPECT_EQ(0, e.rc);
    EXPECT_EQ(body.size(), e.body.size());
    EXPECT_TRUE(body == e.body);
}

TEST(HttpRequest, FailuresAndTheirMessages)
{
    script_server server;
    server.close_without_answer();
    exchange empty = get(server);
    EXPECT_EQ(-1, empty.rc);
    EXPECT_EQ("Empty response from server", empty.error);

    server.answer("HTTP/1.1 200 OK\r\nno blank line");
    exchange malformed = get(server);
    EXPECT_EQ(-1, malformed.rc);
    EXPECT_EQ("Malformed HTTP response (no header boundary)", malformed.error);
}

TEST(HttpRequest, InvalidHostOrPortTouchesNothing)
{
    script_server server;
    for (int port : {0, -1}) {
        http_response r{7, nullptr, nullptr, 9};
        char error[http_error_capacity] = "x";
        EXPECT_EQ(-1, http_request("GET", "127.0.0.1", port, "/", nullptr, nullptr, nullptr, 0, 1, &r,
                                   error, sizeof error));
        EXPECT_STREQ("Invalid host or port", error);
        EXPECT_EQ(0, r.status_code);
        EXPECT_EQ(0u, r.body_len);
    }
    http_response r{};
    char error[http_error_capacity];
    EXPECT_EQ(-1, http_request("GET", nullptr, 5000, "/", nullptr, nullptr, nullptr, 0, 1, &r, error, sizeof error));
    EXPECT_STREQ("Invalid host or port", error);
    EXPECT_EQ(0u, server.connection_count());
}

TEST(HttpRequest, RefusedConnection)
{
    int port;
    {
        script_server gone;
        port = gone.port();
    }
    http_response r{};
    char error[http_error_capacity];
    EXPECT_EQ(-1, http_request("GET", "127.0.0.1", port, "/", nullptr, nullptr, nullptr, 0, 2, &r,
                               error, sizeof error));
    EXPECT_EQ("Failed to connect to 127.0.0.1:" + std::to_string(port), std::string(error));
}

TEST(HttpRequest, UnknownHostFailsInLookup)
{
    http_response r{};
    char error[http_error_capacity];
    EXPECT_EQ(-1, http_request("GET", "no-such-host.invalid", 5000, "/", nullptr, nullptr, nullptr, 0,
                               2, &r, error, sizeof error));
    EXPECT_EQ(0, std::string(error).rfind("DNS lookup failed for no-such-host.invalid: ", 0)) << error;
}

TEST(HttpRequest, ErrorTextIsCutToItsBuffer)
{
    http_response r{};
    char error[8];
    EXPECT_EQ(-1, http_request("GET", "h", 0, "/", nullptr, nullptr, nullptr, 0, 1, &r, error, sizeof error));
    EXPECT_STREQ("Invalid", error);
    EXPECT_EQ(-1, http_request("GET", "h", 0, "/", nullptr, nullptr, nullptr, 0, 1, &r, nullptr, 0));
}

TEST(HttpRequest, ZeroTimeOutMeansTenSeconds)
{
    script_server server;
    // Silent longer than a time-out of 1 or 2 seconds would wait.
    server.answer_after(milliseconds(2500), "HTTP/1.1 200 OK\r\n\r\nok");
    exchange e = run(server, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
    EXPECT_EQ(0, e.rc) << e.error;
    EXPECT_EQ("ok", e.body);
}

TEST(HttpRequest, ReceiveTimeOutKeepsWhatArrived)
{
    script_server server;
    server.trickle("HTTP/1.1 200 OK\r\n\r\nab", milliseconds(1500));
    auto start = std::chrono::steady_clock::now();
    exchange e = run(server, "GET", "/", nullptr, nullptr, nullptr, 0, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(-1, e.rc);  // the first byte only: no header boundary yet
    EXPECT_EQ("Malformed HTTP response (no header boundary)", e.error);
}

TEST(HttpRequest, ControlBytesNeverReachTheHead)
{
    script_server server;
    struct field_case { const char *path, *cookie, *content_type, *host, *error; };
    const field_case cases[] = {
        {"/a\r\nX: y", nullptr, nullptr, "127.0.0.1", "Invalid character in request path"},
        {"/a b", nullptr, nullptr, "127.0.0.1", "Invalid character in request path"},
        {"/", "id=a\r\nX: y", nullptr, "127.0.0.1", "Invalid character in request cookie"},
        {"/", nullptr, "text/plain\n", "127.0.0.1", "Invalid character in request content type"},
        {"/", nullptr, nullptr, "127.0.0.1\r\nX: y", "Invalid character in request host"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        exchange e = run(server, "GET", c.path, c.cookie, c.content_type, nullptr, 0, 1, c.host);
        EXPECT_EQ(-1, e.rc);
        EXPECT_EQ(c.error, e.error);
    }
    EXPECT_EQ(0u, server.connection_count());
}

}  // namespace
