#include "sessions.h"

#include <random>
#include <utility>

namespace {

// A session id: the run's tag, a random part, and two check characters over
// both, so the station knows the ids of its own making from any other text.
constexpr size_t tag_length = 8;
constexpr size_t random_length = 14;
constexpr size_t check_length = 2;
constexpr size_t sid_length = tag_length + random_length + check_length;
constexpr size_t did_length = 32;
constexpr size_t otp_token_length = 32;
constexpr int64_t first_device_version = 6;

constexpr char id_letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

std::string check_of(std::string_view text)
{
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    return {id_letters[hash % 64], id_letters[(hash >> 6) % 64]};
}

bool is_id_text(std::string_view text)
{
    return text.find_first_not_of(std::string_view(id_letters, sizeof id_letters - 1)) == std::string_view::npos;
}

}  // namespace

std::string new_run_tag()
{
    std::random_device device;
    sim_random random((uint64_t{device()} << 32) ^ device());
    return random.word(tag_length);
}

session_store::session_store(std::string account, std::string password, int64_t idle_limit_ms,
                             std::string run_tag, std::optional<totp> second_factor)
    : account_(std::move(account)),
      password_(std::move(password)),
      idle_limit_ms_(idle_limit_ms),
      run_tag_(std::move(run_tag)),
      second_factor_(std::move(second_factor))
{
}

bool session_store::needs_code(const login_request &request) const
{
    if (!second_factor_) return false;
    if (request.version < first_device_version || request.device_id.empty()) return true;
    auto device = trusted_devices_.find(request.device_id);
    return device == trusted_devices_.end() || device->second != request.device_name;
}

int session_store::log_in(const login_request &request, int64_t now_ms, sim_random &random, login_result &out)
{
    if (request.account != account_ || request.password != password_) return 400;
    if (needs_code(request)) {
        if (request.otp_code.empty()) {
            out.otp_token = random.word(otp_token_length);
            return 403;
        }
        if (!second_factor_->accepts(request.otp_code, now_ms / 1000)) return 404;
    }
    session_record session;
    do {
        const std::string body = run_tag_ + random.word(random_length);
        session.sid = body + check_of(body);
    } while (sessions_.count(session.sid) != 0);
    session.account = account_;
    session.last_used_ms = now_ms;
    out.sid = session.sid;
    sessions_.emplace(session.sid, std::move(session));
    if (request.version >= first_device_version && request.enable_device_token && !request.device_name.empty()) {
        out.did = random.word(did_length);
        trusted_devices_[out.did] = std::string(request.device_name);
    }
    return 0;
}

bool session_store::issued_by_earlier_run(std::string_view sid) const
{
    if (sid.size() != sid_length || !is_id_text(sid)) return false;
    const std::string_view body = sid.substr(0, tag_length + random_length);
    return sid.substr(body.size()) == check_of(body) && sid.substr(0, tag_length) != run_tag_;
}

int session_store::use(std::string_view sid, int64_t now_ms, std::string &account)
{
    auto found = sessions_.find(sid);
    if (found == sessions_.end()) return issued_by_earlier_run(sid) ? 105 : 119;
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

std::optional<std::string> session_store::code_at(int64_t now_ms) const
{
    if (!second_factor_) return std::nullopt;
    return second_factor_->code_at(now_ms / 1000);
}
