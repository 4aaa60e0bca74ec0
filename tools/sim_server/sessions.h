// Logins of the simulated station: one account, any number of sessions, and
// optionally a second factor by time-based codes with trusted devices.
#pragma once

#include "sim_random.h"
#include "totp.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// What a login names. The device fields count from version 6 of the
// sign-in API on.
struct login_request {
    std::string_view account;
    std::string_view password;
    int64_t version = 1;
    std::string_view otp_code;  // empty when not given
    bool enable_device_token = false;
    std::string_view device_name;
    std::string_view device_id;
};

struct login_result {
    std::string sid;
    std::string did;        // a device newly trusted at this login, else empty
    std::string otp_token;  // handed out with the 403 that asks for a code
};

struct session_record {
    std::string sid;
    std::string account;
    int64_t last_used_ms = 0;
    bool expired = false;
};

// A tag for this run of the station, different at every start: the session
// ids it hands out carry it.
std::string new_run_tag();

class session_store {
public:
    // idle_limit_ms 0: sessions never expire. second_factor: the account
    // needs a code at login, unless it comes from a trusted device.
    session_store(std::string account, std::string password, int64_t idle_limit_ms, std::string run_tag,
                  std::optional<totp> second_factor);

    // 0 and the new session in out, or the sign-in service's refusal: 400
    // for an unknown account or a wrong password, 403 when a code is needed
    // (out.otp_token set), 404 for a wrong code.
    int log_in(const login_request &request, int64_t now_ms, sim_random &random, login_result &out);

    // 0 and the session's account; 105 for an id that an earlier run of the
    // station issued, 119 for an id never issued or logged out, 106 for a
    // session left idle too long (it stays expired).
    int use(std::string_view sid, int64_t now_ms, std::string &account);

    void log_out(std::string_view sid);

    // The code the second factor takes now; nothing without one.
    std::optional<std::string> code_at(int64_t now_ms) const;

private:
    bool needs_code(const login_request &request) const;
    bool issued_by_earlier_run(std::string_view sid) const;

    std::string account_;
    std::string password_;
    int64_t idle_limit_ms_;
    std::string run_tag_;
    std::optional<totp> second_factor_;
    std::map<std::string, session_record, std::less<>> sessions_;
    std::map<std::string, std::string, std::less<>> trusted_devices_;  // device id -> device name
};
