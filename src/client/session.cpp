// The process-wide session: login, logout, ping, time-out.
#include "synology_ds.h"
#include "synology.h"

#include <mutex>

namespace {

constexpr size_t host_capacity = 255;
constexpr size_t id_capacity = 511;
constexpr int default_port = 5000;
constexpr int default_https_port = 5001;
constexpr int session_call_timeout_sec = 5;  // logout and ping wait no longer

// One mutex guards all of it. Calls copy what they need at their start
// (copy_session) and never hold the lock while talking to the network.
std::mutex g_session_mutex;
std::string g_host;
int g_port = default_port;
int g_timeout_sec = http_default_timeout_sec;
std::string g_sid;
std::string g_did;
int g_connected = 0;
// Counts logins and logouts, so that a login answered after another thread
// has logged in or out again does not overwrite that newer session.
unsigned long g_session_generation = 0;
// How the session talks to the station, and what the last sign-in saw.
connect_options g_options;
std::string g_peer_fingerprint;
bool g_current_upload_route = false;

const call_words login_words = {
    .transport = [](const char *, const char *why) { set_error("HTTP connect failed: %s", why); },
    .parse = [](const char *, const char *body) { set_error("Failed to parse JSON login response: %s", body); },
    .station = [](const char *, int code, const char *meaning) {
        set_error("Login failed (code %d: %s)", code, meaning);
    },
    .code_meaning = sign_in_error_str,
    .empty_body = "Empty login response from NAS",
};
// Ping tells only whether the station still takes the session.
const call_words ping_words = {
    .transport = [](const char *, const char *why) { set_error("Ping request failed: %s", why); },
    .parse = [](const char *, const char *) { set_error("Failed to parse ping response"); },
    .station = [](const char *, int, const char *) { set_error("Session expired or invalid"); },
};
// The logout's outcome is not looked at.
const call_words logout_words = {};

std::string cut(const char *text, size_t capacity) { return std::string(text).substr(0, capacity); }

// The ids go unencoded into the request line and the Cookie header. Only
// visible ASCII that keeps both in shape is accepted: no blank, control or
// non-ASCII byte, and none of ";&#" that would split the Cookie or the query.
bool is_safe_id(const std::string &id)
{
    for (unsigned char c : id)
        if (c <= 0x20 || c >= 0x7F || c == ';' || c == '&' || c == '#') return false;
    return true;
}

// Starts a login: stores where and how to log in and forgets the old session.
unsigned long begin_login(const char *host, int port, const connect_options &options)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    g_host = cut(host, host_capacity);
    g_port = port >= 1 ? port : options.https ? default_https_port : default_port;
    g_sid.clear();
    g_did.clear();
    g_connected = 0;
    g_options = options;
    g_peer_fingerprint.clear();
    g_current_upload_route = false;
    return ++g_session_generation;
}

// What the login's handshake saw of the certificate, kept also when the
// login then fails.
void store_peer(unsigned long generation, const http_peer &peer)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    if (generation == g_session_generation) g_peer_fingerprint = peer.fingerprint_sha256;
}

bool store_session(unsigned long generation, std::string sid, std::string did)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    if (generation != g_session_generation) return false;
    g_sid = std::move(sid);
    g_did = std::move(did);
    g_connected = 1;
    return true;
}

void forget_session()
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    g_sid.clear();
    g_did.clear();
    g_connected = 0;
    g_current_upload_route = false;
    ++g_session_generation;
}

// The second factor's fields come after the login's own fields; the device
// token fields need version 6 of the sign-in API.
std::string login_path(const char *username, const char *password, const connect_options &options)
{
    const bool device = !options.device_name.empty();
    std::string path = std::string(auth_path) + "&version=" + (device ? "6" : "3") +
                       "&method=login&account=" + url_encoded(username) +
                       "&passwd=" + url_encoded(password ? password : "") + "&session=DownloadStation&format=sid";
    if (!options.otp_code.empty()) path += "&otp_code=" + url_encoded(options.otp_code.c_str());
    if (device && options.device_id.empty()) path += "&enable_device_token=yes";
    if (device) path += "&device_name=" + url_encoded(options.device_name.c_str());
    if (!options.device_id.empty()) path += "&device_id=" + url_encoded(options.device_id.c_str());
    return path;
}

// Takes sid and did from a successful login answer; false after recording
// why they cannot be used.
bool read_ids(const json_value *data, std::string &sid, std::string &did)
{
    const char *sid_text = string_or_null(member(data, "sid"));
    const char *did_text = string_or_null(member(data, "did"));
    if (sid_text) sid = cut(sid_text, id_capacity);
    if (did_text) did = cut(did_text, id_capacity);
    if (!is_safe_id(sid)) {
        set_error("Invalid session id in login response");
        return false;
    }
    if (!is_safe_id(did)) {
        set_error("Invalid device id in login response");
        return false;
    }
    return true;
}

int connect_session(const char *host, int port, const char *username, const char *password,
                    const char *options_text)
{
    clear_error();
    if (!host || !*host) {
        set_error("Host cannot be empty");
        return -1;
    }
    if (!username || !*username) {
        set_error("Username cannot be empty");
        return -1;
    }
    connect_options options;
    std::string options_error;
    if (!parse_connect_options(options_text, options, options_error)) {
        set_error("%s", options_error.c_str());
        return -1;
    }
    unsigned long generation = begin_login(host, port, options);
    call_scope call;
    request login;
    login.path = login_path(username, password, options);
    login.with_session = false;
    answer a;
    const bool accepted = call.send(login, login_words, a);
    store_peer(generation, a.peer);
    if (!accepted) return a.failure_status();
    std::string sid, did;
    if (!read_ids(a.data, sid, did)) return -1;
    if (!store_session(generation, std::move(sid), std::move(did))) {
        set_error("Login superseded by another login or logout");
        return -1;
    }
    return 0;
}

int disconnect_session()
{
    // The session is forgotten however the logout went, memory running out included.
    struct forget_on_return {
        ~forget_on_return() { forget_session(); }
    } forget;
    call_scope call;
    if (call.session().connected) {
        request logout;
        logout.path = logout_path;
        logout.timeout_sec = session_call_timeout_sec;
        answer ignored;
        call.exchange(logout, logout_words, ignored);
    }
    return 0;
}

int ping_session()
{
    call_scope call;
    if (!call.connected()) return 0;
    request ping;
    ping.path = info_getinfo_path;
    ping.timeout_sec = session_call_timeout_sec;
    answer a;
    return call.send(ping, ping_words, a) ? 1 : 0;
}

// Sends nothing: what the library holds, written under the lock.
const char *hand_over_session_info()
{
    json_text text;
    {
        std::lock_guard<std::mutex> lock(g_session_mutex);
        json_writer out(text);
        out.StartObject();
        out.Key("host");
        out.String(g_host.c_str(), static_cast<rapidjson::SizeType>(g_host.size()));
        out.Key("port");
        out.Int(g_port);
        out.Key("https");
        out.Bool(g_options.https);
        out.Key("verification");
        out.String(g_options.verification());
        out.Key("fingerprint_sha256");
        out.String(g_peer_fingerprint.c_str(), static_cast<rapidjson::SizeType>(g_peer_fingerprint.size()));
        out.Key("device_id");
        out.String(g_did.c_str(), static_cast<rapidjson::SizeType>(g_did.size()));
        out.Key("connected");
        out.Bool(g_connected != 0 && !g_sid.empty());
        out.EndObject();
    }
    return hand_over(std::move(text), "{}");
}

}  // namespace

session_view copy_session()
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    session_view view;
    view.host = g_host;
    view.port = g_port;
    view.timeout_sec = g_timeout_sec;
    view.sid = g_sid;
    view.did = g_did;
    view.connected = g_connected != 0 && !g_sid.empty();
    view.security = g_options.security();
    view.current_upload_route = g_current_upload_route;
    view.generation = g_session_generation;
    return view;
}

void use_current_upload_route(unsigned long generation)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    if (generation == g_session_generation) g_current_upload_route = true;
}

int ds_is_connected(void)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    return g_connected != 0 && !g_sid.empty() ? 1 : 0;
}

int ds_set_timeout(int seconds)
{
    clear_error();
    if (seconds < 1 || seconds > 300) {
        set_error("Invalid timeout: %d (must be between 1 and 300 seconds)", seconds);
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_session_mutex);
    g_timeout_sec = seconds;
    return 0;
}

int ds_connect(const char *host, int port, const char *username, const char *password)
{
    return guarded(-1, [&] { return connect_session(host, port, username, password, nullptr); });
}

int ds_connect_with(const char *host, int port, const char *username, const char *password,
                    const char *options)
{
    return guarded(-1, [&] { return connect_session(host, port, username, password, options); });
}

const char *ds_session_info(void)
{
    return guarded("{}", [] { return hand_over_session_info(); });
}

int ds_disconnect(void)
{
    return guarded(0, [] { return disconnect_session(); });
}

int ds_ping(void)
{
    return guarded(0, [] { return ping_session(); });
}
