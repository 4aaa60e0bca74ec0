// A station on 127.0.0.1 that speaks TLS, for the benchmarks: a self-signed
// RSA certificate made at start, one connection served at a time. Sign-in
// requests get the sign-in answer, every other request the same answer.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

class tls_loopback_server {
public:
    tls_loopback_server(std::string sign_in_answer, std::string answer);  // whole HTTP answers
    ~tls_loopback_server();
    tls_loopback_server(const tls_loopback_server &) = delete;
    tls_loopback_server &operator=(const tls_loopback_server &) = delete;

    int port() const { return port_; }
    // The certificate's SHA-256 fingerprint: 64 lower-case hex digits.
    const std::string &fingerprint() const { return fingerprint_; }

private:
    struct tls_state;
    void serve();
    void answer_one(int client);

    std::string sign_in_answer_, answer_;
    std::unique_ptr<tls_state> tls_;
    std::string fingerprint_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
