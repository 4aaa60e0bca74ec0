// Peers that misbehave: every exchange stays bounded in time and memory.
#include "http_client.h"
#include "script_server.h"
#include "test_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

constexpr long peak_allowed_kib = answer_limit_peak_kib;

struct outcome {
    int rc;
    std::string body, error;
    clock_type::duration took;
};

outcome get(const script_server &server, int timeout_sec = 1)
{
    scoped_response r;
    char error[http_error_capacity] = "";
    auto start = clock_type::now();
    outcome o{};
    o.rc = http_request("GET", "127.0.0.1", server.port(), "/", nullptr, nullptr, nullptr, 0, timeout_sec,
                        &r, error, sizeof error);
    o.took = clock_type::now() - start;
    if (r.body) o.body.assign(r.body, r.body_len);
    o.error = error;
    return o;
}

TEST(HostilePeer, TricklingAnswerEndsAtTheTotalBound)
{
    script_server server;
    server.trickle("HTTP/1.1 200 OK\r\n\r\n" + std::string(100, 'x'), milliseconds(200));
    outcome o = get(server);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Response not complete within 2 seconds", o.error);
    EXPECT_GE(o.took, milliseconds(1900));
    EXPECT_LT(o.took, milliseconds(3000));
}

TEST(HostilePeer, EndlessAnswerFailsNearTheSizeLimit)
{
    script_server server;
    server.endless("HTTP/1.1 200 OK\r\n\r\n");
    outcome o = get(server, 10);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Response too large (over 64 MiB)", o.error);
    EXPECT_LT(peak_memory_kib(), peak_allowed_kib);
}

TEST(HostilePeer, SilentPeerGivesAnEmptyAnswerAfterTheTimeOut)
{
    script_server server;
    server.stay_silent(milliseconds(3000));
    outcome o = get(server);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Empty response from server", o.error);
    EXPECT_LT(o.took, milliseconds(1800));
}

TEST(HostilePeer, ResetMidAnswerKeepsWhatArrived)
{
    script_server server;
    server.reset_after("HTTP/1.1 200 OK\r\n\r\n{\"succ");
    outcome o = get(server);
    EXPECT_EQ(0, o.rc);
    EXPECT_EQ("{\"succ", o.body);
}

TEST(HostilePeer, AnswerCutMidChunkKeepsWhatArrived)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab");
    outcome o = get(server);
    EXPECT_EQ(0, o.rc);
    EXPECT_EQ("ab", o.body);
}

TEST(HostilePeer, MegabyteHeaderLine)
{
    script_server server;
    server.answer("HTTP/1.1 200 OK\r\nX-Big: " + std::string(1 << 20, 'h') + "\r\n\r\n{}");
    outcome o = get(server);
    EXPECT_EQ(0, o.rc);
    EXPECT_EQ("{}", o.body);
}

}  // namespace
