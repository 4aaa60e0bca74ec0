// A scripted HTTP peer on 127.0.0.1 for tests: it records every request byte
// for byte and answers each connection with the next step of its script.
// Free of any test framework, so other programs can use it too.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class script_server {
public:
    using ms = std::chrono::milliseconds;
#if defined(_WIN32)
    using socket_type = std::uintptr_t;  // SOCKET
#else
    using socket_type = int;
#endif

    struct step {
        enum kind_t {
            send_bytes, close_at_once, silence, trickle, reset, endless, late, held, close_unread
        } kind = send_bytes;
        std::string bytes;    // what to send (for endless: sent once, then filler forever)
        ms interval{0};       // silence, late: how long; trickle: pause between bytes
    };

    script_server();   // binds 127.0.0.1 on a free port and starts serving
    ~script_server();  // stops and joins; never hangs on a failed test
    script_server(const script_server &) = delete;
    script_server &operator=(const script_server &) = delete;

    int port() const { return port_; }

    // Steps are played one per connection, in order. With the script empty,
    // the default step (if set) answers, else the connection is closed at once.
    void answer(std::string raw);
    void answer_json(const std::string &body, int status = 200);
    void close_without_answer();
    void stay_silent(ms how_long);
    void trickle(std::string raw, ms interval);
    void reset_after(std::string partial);  // sends partial, then aborts with RST
    void endless(std::string head);          // sends head, then filler until the peer goes
    void answer_always(std::string raw);     // the default step
    void answer_after(ms delay, std::string raw);  // waits, then sends raw
    // Reads the request, then holds the answer until release().
    void answer_when_released(std::string raw);
    void release();
    // Ends its side of the connection at once, reads a part of what the peer
    // sends and closes with the rest unread (what a server that refuses an
    // upload early does).
    void close_before_reading();

    std::vector<std::string> requests() const;  // one entry per connection, raw bytes
    std::string last_request() const;
    size_t connection_count() const;
    void clear_requests();

    static std::string json_response(const std::string &body, int status = 200);

private:
    void push(step s);
    void serve();
    void handle(socket_type client, const step &s);
    std::string read_request(socket_type client);
    bool stopping() const { return stopping_.load(); }
    void pause(ms how_long) const;

    socket_type listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> released_{false};
    mutable std::mutex mutex_;
    std::deque<step> script_;
    bool has_default_ = false;
    step default_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
