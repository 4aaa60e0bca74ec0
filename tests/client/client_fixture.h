// A test fixture holding a scripted station and, on request, a logged-in
// session; and the two runners most call tests share: a call made against
// one scripted answer, and a call the library answers without sending.
#pragma once

#include "script_server.h"
#include "synology_ds.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <variant>

// One answer of the scripted station and what a call gives for it.
template <typename Result>  // int, or const char * for a call that returns text
struct answer_case {
    const char *name;
    const char *body;  // null: the connection closes without an answer
    Result result;
    const char *error;  // ds_last_error() after the call
};

// What a call gives back: an int call's number or a text call's text.
using call_result = std::variant<int, std::string>;

// A call the library answers itself, without a request.
struct unsent_case {
    const char *name;
    std::function<call_result()> call;
    call_result result;
    std::string error;
};

class client_test : public ::testing::Test {
protected:
    script_server server;

    // Logs in with session id "SID" (and device id "DID" when with_did) and
    // forgets the login request, so tests see only their own requests.
    void log_in(bool with_did = false)
    {
        std::string data = with_did ? R"({"sid":"SID","did":"DID"})" : R"({"sid":"SID"})";
        server.answer_json(R"({"success":true,"data":)" + data + "}");
        ASSERT_EQ(0, ds_connect("127.0.0.1", server.port(), "user", "pass"));
        ASSERT_EQ(1, ds_is_connected());
        server.clear_requests();
    }

    void TearDown() override
    {
        // Forget the session without a logout request reaching a later test.
        ds_set_timeout(10);
        if (ds_is_connected()) {
            server.close_without_answer();
            ds_disconnect();
        }
    }

    // The request line of the last request, without "\r\n".
    std::string last_request_line() const
    {
        std::string request = server.last_request();
        return request.substr(0, request.find("\r\n"));
    }

    std::string last_request_body() const
    {
        std::string request = server.last_request();
        size_t at = request.find("\r\n\r\n");
        return at == std::string::npos ? std::string() : request.substr(at + 4);
    }

    // "GET <path> HTTP/1.1" for a path that the test spells out.
    static std::string get_line(const std::string &path) { return "GET " + path + " HTTP/1.1"; }

    // The station's next answer: body as JSON, or a close without an answer.
    void script_answer(const char *body)
    {
        if (body) server.answer_json(body);
        else server.close_without_answer();
    }

    // Scripts the case's answer, makes the call and compares its result and
    // message with the case's; then runs the test's own checks, if any.
    template <typename Result, typename Call>
    void expect_answer(const answer_case<Result> &c, const Call &call, const std::function<void()> &then = {})
    {
        SCOPED_TRACE(c.name);
        script_answer(c.body);
        expect_result(c.result, call());
        EXPECT_STREQ(c.error, ds_last_error());
        if (then) then();
    }

    template <typename Cases, typename Call>
    void expect_answers(const Cases &cases, const Call &call, const std::function<void()> &then = {})
    {
        for (const auto &c : cases) expect_answer(c, call, then);
    }

    // Makes each call and compares its result and message with the case's;
    // the station sees no connection.
    template <typename Cases>
    void expect_unsent(const Cases &cases)
    {
        for (const unsent_case &c : cases) {
            SCOPED_TRACE(c.name);
            server.clear_requests();
            // A message of another call, for this one to replace.
            ASSERT_EQ(-1, ds_set_timeout(0));
            EXPECT_EQ(c.result, c.call());
            EXPECT_EQ(c.error, ds_last_error());
            EXPECT_EQ(0u, server.connection_count());
        }
    }

private:
    static void expect_result(int expected, int result) { EXPECT_EQ(expected, result); }
    static void expect_result(const char *expected, const char *result) { EXPECT_STREQ(expected, result); }
};
