// Memory running out at every allocation of every call, one at a time: the
// call fails with its failure value and a message, or succeeds as if nothing
// had happened; it never crashes, never sends a request with a value
// missing, and (under AddressSanitizer) leaks nothing.
//
// This program replaces operator new and, through the linker's --wrap,
// the library's malloc, realloc and calloc, so that the Nth allocation made
// on the calling thread from now on fails. The scripted station's thread is
// never counted.
#include "client_fixture.h"
#include "synology.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

extern "C" {
void *__real_malloc(size_t size);
void *__real_realloc(void *block, size_t size);
void *__real_calloc(size_t count, size_t size);
void *__wrap_malloc(size_t size);
void *__wrap_realloc(void *block, size_t size);
void *__wrap_calloc(size_t count, size_t size);
}

namespace {

thread_local long fail_countdown = 0;  // > 0: the allocation that brings it to 0 fails
thread_local bool fault_hit = false;

bool allocation_fails()
{
    if (fail_countdown <= 0 || --fail_countdown > 0) return false;
    fault_hit = true;
    return true;
}

void *allocate_or_throw(size_t size)
{
    if (allocation_fails()) throw std::bad_alloc();
    if (void *block = __real_malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}

}  // namespace

extern "C" {
void *__wrap_malloc(size_t size) { return allocation_fails() ? nullptr : __real_malloc(size); }
void *__wrap_realloc(void *block, size_t size) { return allocation_fails() ? nullptr : __real_realloc(block, size); }
void *__wrap_calloc(size_t count, size_t size) { return allocation_fails() ? nullptr : __real_calloc(count, size); }
}

void *operator new(size_t size) { return allocate_or_throw(size); }
void *operator new[](size_t size) { return allocate_or_throw(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept
{
    return allocation_fails() ? nullptr : __real_malloc(size ? size : 1);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept
{
    return allocation_fails() ? nullptr : __real_malloc(size ? size : 1);
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, size_t) noexcept { std::free(block); }
void operator delete[](void *block, size_t) noexcept { std::free(block); }

namespace {

// One answer serves every request of every call: it holds what each call
// takes from data.
const char universal_answer[] =
    R"({"success":true,"data":{"sid":"SID","tasks":[{"id":"a","status":"finished","size":10}],)"
    R"("default_destination":"downloads","shares":[{"name":"video","path":"/video","isdir":true}],)"
    R"("files":[{"name":"films","path":"/video/films","isdir":true}],"task_id":["dbid_1"]}})";

struct call_case {
    const char *name;
    std::function<std::string()> call;  // the result as text
    std::string failure;                // the failure value as text
    // A batch counts what it added: a URL that fails for want of memory
    // leaves the others added.
    bool counts_partly = false;
};

// The call's outcome as text; nothing after the call itself is counted.
std::string text(int result)
{
    fail_countdown = 0;
    return std::to_string(result);
}

std::string text(const char *result)
{
    fail_countdown = 0;
    return result;
}

class OutOfMemoryTest : public client_test {
protected:
    std::string torrent;

    void SetUp() override
    {
        torrent = ::testing::TempDir() + "out_of_memory_test.torrent";
        std::ofstream(torrent, std::ios::binary) << "d4:infoe";
        server.answer_always(script_server::json_response(universal_answer));
    }

    // A session on this station, with the uploads on the current route when asked.
    void connect_afresh(bool current_upload_route)
    {
        ASSERT_EQ(0, ds_connect("127.0.0.1", server.port(), "user", "pass"));
        if (current_upload_route) use_current_upload_route(copy_session().generation);
        server.clear_requests();
    }

    std::vector<call_case> calls() const
    {
        const std::string &file = torrent;
        const int port = server.port();
        return {
            {"connect", [port] { return text(ds_connect("127.0.0.1", port, "user", "pa ss")); }, "-1"},
            {"connect with",
             [port] { return text(ds_connect_with("127.0.0.1", port, "user", "p", R"({"otp_code":"1 2"})")); }, "-1"},
            {"disconnect", [] { return text(ds_disconnect()); }, "0"},
            {"ping", [] { return text(ds_ping()); }, "0"},
            {"session info", [] { return text(ds_session_info()); }, "{}"},
            {"list", [] { return text(ds_list_tasks()); }, "[]"},
            {"list filtered", [] { return text(ds_list_tasks_filtered("finished,paused")); }, "[]"},
            {"get task", [] { return text(ds_get_task("a b")); }, "{}"},
            {"pause", [] { return text(ds_pause("a,b c")); }, "-1"},
            {"delete", [] { return text(ds_delete("a", 1)); }, "-1"},
            {"pause all", [] { return text(ds_pause_all()); }, "-1"},
            {"delete completed", [] { return text(ds_delete_completed()); }, "-1"},
            {"add url", [] { return text(ds_add_url("https://example.org/a b", "/video/new")); }, "-1"},
            {"add urls", [] { return text(ds_add_urls("https://example.org/1\r\nhttps://example.org/2", nullptr)); },
             "-1", true},
            {"add torrent", [file] { return text(ds_add_torrent(file.c_str(), "video")); }, "-1"},
            {"info", [] { return text(ds_info()); }, "{}"},
            {"stats", [] { return text(ds_stats()); }, "{}"},
            {"config", [] { return text(ds_get_config()); }, "{}"},
            {"speed limit", [] { return text(ds_set_speed_limit(10, 20)); }, "-1"},
            {"get destination", [] { return text(ds_get_default_destination()); }, ""},
            {"set destination", [] { return text(ds_set_default_destination("/a b")); }, "-1"},
            {"shares", [] { return text(ds_list_shares()); }, "[]"},
            {"folders", [] { return text(ds_list_folders("video")); }, "[]"},
        };
    }

    // Fails each allocation of the call in turn, from the first to the last.
    void fail_every_allocation(const call_case &c, bool current_upload_route = false)
    {
        SCOPED_TRACE(c.name);
        connect_afresh(current_upload_route);
        const std::string success = c.call();
        ASSERT_STREQ("", ds_last_error());
        const std::vector<std::string> sent = server.requests();
        const std::set<std::string> whole_requests(sent.begin(), sent.end());
        long allocations = 0;
        for (long n = 1;; ++n) {
            connect_afresh(current_upload_route);
            fault_hit = false;
            fail_countdown = n;
            const std::string result = c.call();
            fail_countdown = 0;
            if (!fault_hit) {
                allocations = n - 1;
                break;
            }
            SCOPED_TRACE(n);
            const std::string message = ds_last_error();
            if (c.counts_partly && result != c.failure) {
                EXPECT_LE(0, std::stoi(result));
                EXPECT_GE(std::stoi(success), std::stoi(result));
            } else if (message.empty()) {
                EXPECT_EQ(success, result);  // an allocation the call could do without
            } else {
                EXPECT_EQ(c.failure, result);
                // Without memory for the answer's body, a call sees an empty answer.
                EXPECT_TRUE(message.find("Out of memory") != std::string::npos || message.ends_with(": empty") ||
                            message == "Empty login response from NAS" || message == "Failed to parse ping response")
                    << message;
            }
            // A connection closed before its request went out is no request.
            for (const std::string &request : server.requests()) {
                if (request.empty()) continue;
                EXPECT_EQ(1u, whole_requests.count(request)) << request;
            }
            if (c.name == std::string("disconnect")) {
                EXPECT_EQ(0, ds_is_connected());
            }
        }
        EXPECT_GT(allocations, 0);
    }
};

TEST_F(OutOfMemoryTest, EveryCallFailsCleanlyAtEveryAllocation)
{
    for (const call_case &c : calls()) fail_every_allocation(c);
}

TEST_F(OutOfMemoryTest, UploadOnTheCurrentRouteToTheDefaultFolder)
{
    const std::string file = torrent;
    fail_every_allocation({"add torrent", [file] { return text(ds_add_torrent(file.c_str(), nullptr)); }, "-1"},
                          true);
}

// A value that cannot be encoded for want of memory never leaves as an empty field.
TEST_F(OutOfMemoryTest, FailedEncodingSendsNothing)
{
    connect_afresh(false);
    for (long n = 1;; ++n) {
        server.clear_requests();
        fault_hit = false;
        fail_countdown = n;
        ds_pause("needs encoding");
        fail_countdown = 0;
        if (!fault_hit) break;
        for (const std::string &request : server.requests()) {
            if (request.empty()) continue;  // closed before a request went out
            EXPECT_NE(std::string::npos, request.find("&id=needs%20encoding&")) << request;
        }
    }
}

}  // namespace
