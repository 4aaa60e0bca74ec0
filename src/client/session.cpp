// The process-wide session: login, logout, ping, time-out.
#include "synology_ds.h"
#include "synology.h"

#include <mutex>

namespace {

constexpr size_t host_capacity = 255;
constexpr size_t id_capacity = 511;
constexpr int default_port = 5000;
constexpr int session_call_timeout_sec = 5;  // logout and ping wait no longer

// One mutex guards all of it. Calls copy what they need at their start
// (copy_session) and never hold the lock while talking to the network.
std::mutex g_session_mutex;
std::string g_host;
int g_port = default_port;
int g_timeout_sec = 10;
std::string g_sid;
std::string g_did;
int g_connected = 0;
// Counts logins and logouts, so that a login answered after another thread
// has logged in or out again does not overwrite that newer session.
unsigned long g_session_generation = 0;

const call_words login_words = {"HTTP connect failed: %s", "Failed to parse JSON login response: %s",
                                "Login failed (code %d: %s)", 0, "Empty login response from NAS"};
const call_words ping_words = {"Ping request failed: %s", "Failed to parse ping response",
                               "Session expired or invalid"};
const call_words logout_words = {nullptr, nullptr, nullptr};

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

// Starts a login: stores where to log in and forgets the old session.
unsigned long begin_login(const char *host, int port)
{
    std::lock_guard<std::mutex> lock(g_session_mutex);
    g_host = cut(host, host_capacity);
    g_port = port < 1 ? default_port : port;
    g_sid.clear();
    g_did.clear();
    g_connected = 0;
    return ++g_session_generation;
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
    ++g_session_generation;
}

std::string login_path(const char *username, const char *password)
{
    return "/webapi/entry.cgi?api=SYNO.API.Auth&version=3&method=login&account=" +
           url_encoded(username) + "&passwd=" + url_encoded(password ? password : "") +
           "&session=DownloadStation&format=sid";
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

int connect_session(const char *host, int port, const char *username, const char *password)
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
    unsigned long generation = begin_login(host, port);
    call_scope call;
    request login;
    login.path = login_path(username, password);
    login.with_session = false;
    answer a;
    if (!call.send(login, login_words, a)) return a.failure_status();
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
    call_scope call;
    if (call.session().connected) {
        request logout;
        logout.path = "/webapi/entry.cgi?api=SYNO.API.Auth&version=1&method=logout&session=DownloadStation";
        logout.timeout_sec = session_call_timeout_sec;
        answer ignored;
        call.exchange(logout, logout_words, ignored);
    }
    forget_session();
    return 0;
}

int ping_session()
{
    call_scope call;
    if (!call.connected()) return 0;
    request ping;
    ping.path = "/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1&method=getinfo";
    ping.timeout_sec = session_call_timeout_sec;
    answer a;
    return call.send(ping, ping_words, a) ? 1 : 0;
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
    return view;
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
    return guarded(-1, [&] { return connect_session(host, port, username, password); });
}

int ds_disconnect(void)
{
    return guarded(0, [] { return disconnect_session(); });
}

int ds_ping(void)
{
    return guarded(0, [] { return ping_session(); });
}
