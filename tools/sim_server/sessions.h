// Logins of the simulated station: one account, any number of sessions.
#pragma once

#include "sim_random.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

struct session_record {
    std::string sid;
    std::string did;
    std::string account;
    int64_t last_used_ms = 0;
    bool expired = false;
};

class session_store {
public:
    // idle_limit_ms 0: sessions never expire.
    session_store(std::string account, std::string password, int64_t idle_limit_ms);

    // 0 and the new session in out, or the station's refusal: 400 for an
    // unknown account or a wrong password.
    int log_in(std::string_view account, std::string_view password, int64_t now_ms,
               sim_random &random, session_record &out);

    // 0 and the session's account, 119 for an id never given or logged out,
    // 106 for a session left idle too long (it stays expired).
    int use(std::string_view sid, int64_t now_ms, std::string &account);

    void log_out(std::string_view sid);

private:
    std::string account_;
    std::string password_;
    int64_t idle_limit_ms_;
    std::map<std::string, session_record, std::less<>> sessions_;
};
