// Where and how ds signs in: host, port and user from flags or DS_HOST,
// DS_PORT and DS_USER; HTTPS and how the station's certificate is trusted;
// the password from DS_PASSWORD, a prompt on a terminal, or with
// --password-stdin the first line of standard input, never from the command
// line; the 2-step verification code from DS_OTP or a prompt, and a trusted
// device from DS_DEVICE_ID and DS_DEVICE_NAME.
#pragma once

#include <string>

struct connection_options {
    std::string host;
    int port = 0;  // 0: the library's default, 5000 or 5001 with HTTPS
    std::string user;
    int timeout_sec = 10;
    bool timeout_given = false;  // else the library keeps its own (10 s)
    bool verbose = false;
    bool https = false;
    bool insecure = false;
    std::string ca_file;
    std::string fingerprint;
    std::string trust_device;  // a device name: have the station trust it
    bool password_stdin = false;

    // "HOST:PORT", with the port the library uses.
    std::string station() const;
};

// Checks what can be checked before anything is read or sent: 0, or the
// usage status after its message.
int check_connection_options(const connection_options &options);

// The password (see above): 0, or the usage status after its message when
// none may be read (standard input that is no terminal is read only with
// --password-stdin).
int read_password(const connection_options &options, std::string &password);

// A sign-in for the life of one command: signs in on construction (asking
// for a 2-step code when the station wants one), signs out on destruction.
// It keeps the password, so that a long-running command can sign in again
// when the station has restarted or the session has expired.
class station_session {
public:
    explicit station_session(const connection_options &options);
    ~station_session();
    station_session(const station_session &) = delete;
    station_session &operator=(const station_session &) = delete;

    // 0 once signed in, else the exit status (the message is printed).
    int status() const { return status_; }
    // Signs in again with the same password: 0 or the exit status.
    int sign_in_again();

private:
    const connection_options &options_;
    std::string password_;
    int status_ = 1;
};
