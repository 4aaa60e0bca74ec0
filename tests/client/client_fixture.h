// A test fixture holding a scripted station and, on request, a logged-in session.
#pragma once

#include "script_server.h"
#include "synology_ds.h"

#include <gtest/gtest.h>

#include <string>

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
};
