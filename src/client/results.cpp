// Per-thread last error, result and Cookie buffers; the error-code table.
#include "synology_ds.h"
#include "synology.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

namespace {

// Each buffer comes into being at its thread's first use and goes with the
// thread: a host thread that never calls the library pays nothing.
thread_local std::unique_ptr<char[]> tl_last_error;
thread_local std::unique_ptr<json_text> tl_json_buffer;
thread_local std::string tl_cookie;

// Null only when not even the 1024 bytes could be had.
char *last_error_buffer()
{
    if (!tl_last_error) tl_last_error.reset(new (std::nothrow) char[last_error_capacity]());
    return tl_last_error.get();
}

}  // namespace

void set_error_v(const char *format, va_list args)
{
    if (char *text = last_error_buffer()) std::vsnprintf(text, last_error_capacity, format, args);
}

void set_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    set_error_v(format, args);
    va_end(args);
}

void clear_error()
{
    if (tl_last_error) tl_last_error[0] = '\0';
}

const char *last_error_text()
{
    const char *text = last_error_buffer();
    return text ? text : "Out of memory";
}

const char *syno_error_str(int code)
{
    switch (code) {
    case 100: return "Unknown error";
    case 101: return "Invalid parameter";
    case 102: return "The requested API does not exist";
    case 103: return "The requested method does not exist";
    case 104: return "The requested version does not support the functionality";
    case 105: return "The logged in session does not have permission";
    case 106: return "Session timeout";
    case 107: return "Session interrupted by duplicate login";
    case 108: return "Failed to upload the file";
    case 119: return "Invalid SID";
    case 400: return "File upload failed";
    case 401: return "Max number of tasks reached";
    // 403 shares 402's text: the station uses both codes for the same refusal.
    case 402:
    case 403: return "Destination denied";
    case 404: return "Invalid task id";
    case 405: return "Invalid task action";
    case 406: return "No default destination or invalid parameter";
    case 407: return "Set destination failed";
    case 408: return "File does not exist";
    case 409: return "Two-step verification failed";
    case 410: return "Password expired";
    case 411: return "Account disabled";
    case 412: return "Permission denied";
    case 413: return "Two-step authentication enforced";
    case 414: return "App password required";
    default: return "Synology error";
    }
}

const char *sign_in_error_str(int code)
{
    switch (code) {
    case 400: return "No such account or incorrect password";
    case 401: return "Disabled account";
    case 402: return "Permission denied";
    case 403: return "2-step verification code required";
    case 404: return "Failed to authenticate 2-step verification code";
    case 406: return "2-step verification must be enabled for this account";
    case 407: return "Blocked IP source address (too many failed sign-ins)";
    case 408: return "Expired password, cannot be changed";
    case 409: return "Expired password";
    case 410: return "Password must be changed";
    default: return syno_error_str(code);
    }
}

const char *get_cookie_header(const session_view &session)
{
    tl_cookie.clear();
    if (session.sid.empty()) return tl_cookie.c_str();
    tl_cookie.append("id=").append(session.sid);
    if (!session.did.empty()) tl_cookie.append("; did=").append(session.did);
    return tl_cookie.c_str();
}

void record_result_too_large()
{
    set_error("Result too large (over %d MiB)", static_cast<int>(result_limit >> 20));
}

const char *hand_over(json_text &&text, const char *failure_value)
{
    if (result_too_large(text)) {
        record_result_too_large();
        return failure_value;
    }
    if (!tl_json_buffer) tl_json_buffer = std::make_unique<json_text>();
    *tl_json_buffer = std::move(text);
    return tl_json_buffer->GetString();
}

const char *hand_over(std::string_view text, const char *failure_value)
{
    if (text.size() > result_limit) {
        record_result_too_large();
        return failure_value;
    }
    json_text copy;
    std::copy(text.begin(), text.end(), copy.Push(text.size()));
    return hand_over(std::move(copy), failure_value);
}

const char *ds_version(void) { return DS_VERSION_TEXT; }

const char *ds_last_error(void) { return last_error_text(); }
