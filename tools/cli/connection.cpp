#include "connection.h"

#include "report.h"
#include "synology_ds.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace {

// The station's answer when the account needs a 2-step verification code.
constexpr int code_required = 403;

std::string environment(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::string without_line_end(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Echo stays off while this lives, and comes back on every path.
class echo_off {
public:
    echo_off() : active_(tcgetattr(STDIN_FILENO, &saved_) == 0)
    {
        if (!active_) return;
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    ~echo_off()
    {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    echo_off(const echo_off &) = delete;
    echo_off &operator=(const echo_off &) = delete;

private:
    termios saved_{};
    bool active_;
};

// A line typed on the terminal after prompt; false at the end of input.
bool ask(const std::string &prompt, bool hidden, std::string &answer)
{
    std::string line;
    bool got = false;
    {
        // Echo goes off before the prompt shows, so nothing typed after it is echoed.
        std::unique_ptr<echo_off> quiet = hidden ? std::make_unique<echo_off>() : nullptr;
        std::fprintf(stderr, "%s", prompt.c_str());
        std::fflush(stderr);
        got = static_cast<bool>(std::getline(std::cin, line));
    }
    if (hidden) std::fprintf(stderr, "\n");
    answer = without_line_end(line);
    return got;
}

struct sign_in_values {
    std::string otp_code;
    std::string device_name;
    std::string device_id;
};

// ds_connect_with's options for this sign-in.
std::string options_json(const connection_options &o, const sign_in_values &values)
{
    json_text doc;
    doc.out().StartObject();
    auto add_text = [&doc](const char *name, const std::string &value) {
        if (value.empty()) return;
        doc.key(name);
        doc.text(value);
    };
    if (o.https) {
        doc.key("https");
        doc.out().Bool(true);
    }
    if (o.insecure) {
        doc.key("verify");
        doc.out().Bool(false);
    }
    add_text("ca_file", o.ca_file);
    add_text("fingerprint_sha256", o.fingerprint);
    add_text("otp_code", values.otp_code);
    add_text("device_name", values.device_name);
    add_text("device_id", values.device_id);
    doc.out().EndObject();
    return doc.str();
}

int connect_with(const connection_options &o, const std::string &password, const sign_in_values &values)
{
    return ds_connect_with(o.host.c_str(), o.port, o.user.c_str(), password.c_str(), options_json(o, values).c_str());
}

// A member of ds_session_info, "" when absent.
std::string session_value(const char *name)
{
    rapidjson::Document info;
    info.Parse(ds_session_info());
    if (!info.IsObject()) return "";
    auto found = info.FindMember(name);
    if (found == info.MemberEnd() || !found->value.IsString()) return "";
    return found->value.GetString();
}

// The device trusted earlier, from DS_DEVICE_ID and its name.
sign_in_values trusted_device(const connection_options &o)
{
    sign_in_values values;
    values.device_id = environment("DS_DEVICE_ID");
    if (values.device_id.empty()) return values;
    values.device_name = o.trust_device.empty() ? environment("DS_DEVICE_NAME") : o.trust_device;
    return values;
}

// The 2-step verification code: DS_OTP, else asked for on a terminal.
bool read_code(const connection_options &o, std::string &code)
{
    code = environment("DS_OTP");
    if (!code.empty()) return true;
    if (!isatty(STDIN_FILENO)) return false;
    return ask("2-step verification code for " + o.user + " at " + o.station() + ": ", false, code) && !code.empty();
}

void tell_trusted_device(const std::string &name)
{
    const std::string id = session_value("device_id");
    if (id.empty()) {
        say("the station issued no device id for " + name);
        return;
    }
    say("the station trusts this device now; to sign in without a code, keep");
    say("  DS_DEVICE_NAME=" + name + " DS_DEVICE_ID=" + id);
}

void tell_certificate(const connection_options &o)
{
    const std::string fingerprint = session_value("fingerprint_sha256");
    if (fingerprint.empty()) return;
    if (!o.fingerprint.empty()) {
        say("the station presented the certificate " + fingerprint + ", not the one given with --fingerprint;");
        say("if its certificate was renewed, compare the new one with what the NAS shows before trusting it");
        return;
    }
    say("the station's certificate has the SHA-256 fingerprint " + fingerprint);
    say("if the NAS shows the same (Control Panel, Security, Certificate), trust it with");
    say("  --fingerprint " + fingerprint + "  (or DS_FINGERPRINT=" + fingerprint + ")");
}

void tell_no_answer(const connection_options &o)
{
    const std::string seconds = std::to_string(o.timeout_sec) + (o.timeout_sec == 1 ? " second" : " seconds");
    say("nothing came back from " + o.station() + " within the time-out (" + seconds + ")" +
        (o.https ? "" : "; a port that serves HTTPS (5001 on a NAS) needs --https"));
}

// Reports a sign-in that failed; the exit status.
int sign_in_failure(const connection_options &o, bool code_missing)
{
    const std::string message = ds_last_error();
    int status = exit_sign_in;
    if (is_transport_failure(message)) status = exit_unreachable;
    else if (message.rfind("Invalid options: ", 0) == 0) status = exit_usage;
    fail(status, message.empty() ? "the sign-in failed" : message);
    if (code_missing) say("this account signs in with a 2-step verification code: set DS_OTP, or run ds on a terminal");
    if (message.find("Certificate not trusted") != std::string::npos ||
        message.find("Certificate fingerprint mismatch") != std::string::npos)
        tell_certificate(o);
    if (message.find("Empty response from server") != std::string::npos) tell_no_answer(o);
    return status;
}

int sign_in(const connection_options &o, const std::string &password)
{
    const sign_in_values device = trusted_device(o);
    int result = connect_with(o, password, device);
    bool code_missing = false;
    if (result == code_required) {
        sign_in_values with_code;
        code_missing = !read_code(o, with_code.otp_code);
        with_code.device_name = o.trust_device;
        if (!code_missing) result = connect_with(o, password, with_code);
        if (result == 0 && !o.trust_device.empty()) tell_trusted_device(o.trust_device);
    } else if (result == 0 && !o.trust_device.empty() && device.device_id.empty()) {
        say("the station asked for no 2-step verification code, so there is no device to trust");
    }
    if (result != 0) return sign_in_failure(o, code_missing);
    if (!ds_is_connected()) return fail(exit_sign_in, "the station gave no session id");
    if (o.verbose) {
        say("logged in to " + o.station() + " as " + o.user + (o.https ? " over HTTPS" : ""));
    }
    return 0;
}

}  // namespace

std::string connection_options::station() const
{
    return host + ":" + std::to_string(port > 0 ? port : https ? 5001 : 5000);
}

int check_connection_options(const connection_options &o)
{
    if (o.host.empty() || o.user.empty())
        return fail(exit_usage, "give the station with --host (or DS_HOST) and --user (or DS_USER)");
    if (!environment("DS_DEVICE_ID").empty() && o.trust_device.empty() && environment("DS_DEVICE_NAME").empty())
        return fail(exit_usage, "DS_DEVICE_ID needs the name the device was trusted as, in DS_DEVICE_NAME");
    return 0;
}

int read_password(const connection_options &options, std::string &password)
{
    if (options.password_stdin) {
        std::string line;
        if (!std::getline(std::cin, line) && line.empty())
            return fail(exit_usage, "--password-stdin: standard input holds no password");
        password = without_line_end(line);
        return 0;
    }
    if (const char *from_environment = std::getenv("DS_PASSWORD")) {
        password = from_environment;
        return 0;
    }
    if (!isatty(STDIN_FILENO)) {
        return fail(exit_usage, "no password: set DS_PASSWORD, or give --password-stdin to read it from standard "
                                "input (ds asks for it only on a terminal)");
    }
    ask("Password for " + options.user + " at " + options.station() + ": ", true, password);
    return 0;
}

station_session::station_session(const connection_options &options) : options_(options)
{
    if (options.timeout_given && ds_set_timeout(options.timeout_sec) != 0) {
        status_ = fail_call();
        return;
    }
    status_ = read_password(options, password_);
    if (status_ != 0) return;
    if (options.insecure)
        say("warning: --insecure: the station's certificate is not checked; anyone on the way can read the "
            "password");
    status_ = sign_in(options, password_);
}

station_session::~station_session()
{
    if (!ds_is_connected()) return;
    ds_disconnect();
    if (options_.verbose) say("logged out");
}

int station_session::sign_in_again() { return sign_in(options_, password_); }
