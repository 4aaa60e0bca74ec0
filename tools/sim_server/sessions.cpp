#include "sessions.h"

#include <utility>

namespace {

constexpr size_t sid_length = 24;
constexpr size_t did_length = 32;

}  // namespace

session_store::session_store(std::string account, std::string password, int64_t idle_limit_ms)
    : account_(std::move(account)), password_(std::move(password)), idle_limit_ms_(idle_limit_ms)
{
}

int session_store::log_in(std::string_view account, std::string_view password, int64_t now_ms,
                          sim_random &random, session_record &out)
{
    if (account != account_ || password != password_) return 400;
    session_record session;
    do {
        session.sid = random.word(sid_length);
    } while (sessions_.count(session.sid) != 0);
    session.did = random.word(did_length);
    session.account = account_;
    session.last_used_ms = now_ms;
    out = session;
    sessions_.emplace(session.sid, std::move(session));
    return 0;
}

int session_store::use(std::string_view sid, int64_t now_ms, std::string &account)
{
    auto found = sessions_.find(sid);
    if (found == sessions_.end()) return 119;
    session_record &session = found->second;
    if (idle_limit_ms_ > 0 && now_ms - session.last_used_ms > idle_limit_ms_) session.expired = true;
    if (session.expired) return 106;
    session.last_used_ms = now_ms;
    account = session.account;
    return 0;
}

void session_store::log_out(std::string_view sid)
{
    auto found = sessions_.find(sid);
    if (found != sessions_.end()) sessions_.erase(found);
}
