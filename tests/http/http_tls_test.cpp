// HTTPS exchanges against the TLS station: which certificates are accepted
// and with which words the others are refused, and that the bounds of a
// plain exchange hold over TLS too.
#include "http_client.h"
#include "script_server.h"
#include "test_host.h"
#include "tls_station.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

constexpr long peak_allowed_kib = answer_limit_peak_kib;

const char self_signed_refusal[] = "Certificate not trusted: self-signed (pass its fingerprint or a CA file)";
const char unknown_issuer_refusal[] =
    "Certificate not trusted: unknown issuer (pass a CA file or the station's fingerprint)";
const char out_of_date_refusal[] = "Certificate expired or not yet valid";
const char answer_to_x[] = R"({"success":true,"data":{"path":"/x"}})";

const tls_station &station()
{
    static const tls_station loaded;
    return loaded;
}

struct outcome {
    int rc;
    std::string body, error, presented;
    clock_type::duration took;
};

struct exchange_args {
    const char *host = "127.0.0.1";
    const char *method = "GET";
    const char *path = "/x";
    const char *cookie = nullptr;
    const char *content_type = nullptr;
    std::string body;
    int timeout_sec = 5;
};

outcome exchange(int port, const http_security *security, const exchange_args &a = {})
{
    scoped_response r;
    char error[http_error_capacity] = "";
    http_peer peer;
    peer.fingerprint_sha256 = "stale";
    auto start = clock_type::now();
    outcome o{};
    o.rc = http_request(a.method, a.host, port, a.path, a.cookie, a.content_type, a.body.data(), a.body.size(),
                        a.timeout_sec, &r, error, sizeof error, security, &peer);
    o.took = clock_type::now() - start;
    if (r.body) o.body.assign(r.body, r.body_len);
    o.error = error;
    o.presented = peer.fingerprint_sha256;
    return o;
}

enum class check { system_store, ca_file, pinned, unchecked };

http_security secured(check how, const std::string &trusted = "")
{
    http_security s;
    s.tls = true;
    if (how == check::ca_file) s.ca_file = station().certificate(trusted);
    if (how == check::pinned) s.fingerprint_sha256 = station().fingerprint_hex(trusted);
    if (how == check::unchecked) s.verify = false;
    return s;
}

// A GET of path over TLS, the station's certificate unchecked.
outcome unchecked_get(const char *path, int timeout_sec = 5, const char *scenario = "self_signed")
{
    const http_security security = secured(check::unchecked);
    exchange_args args;
    args.path = path;
    args.timeout_sec = timeout_sec;
    return exchange(station().port(scenario), &security, args);
}

struct verdict_case {
    const char *name;
    const char *scenario;  // the station's port
    const char *host;
    check how;
    const char *trusted;    // the certificate of the CA file, or the pinned one
    const char *error;      // "" when the answer arrives
    const char *presented;  // the certificate the station shows
};

const verdict_case verdict_cases[] = {
    {"system store, self-signed", "self_signed", "127.0.0.1", check::system_store, "", self_signed_refusal,
     "self_signed"},
    {"system store, private CA", "localhost", "localhost", check::system_store, "", unknown_issuer_refusal,
     "localhost"},
    {"CA file, leaf of the CA", "localhost", "localhost", check::ca_file, "ca", "", "localhost"},
    {"CA file, chain through an intermediate", "chain", "localhost", check::ca_file, "ca", "", "chain_leaf"},
    {"CA file, chain, IP host", "chain", "127.0.0.1", check::ca_file, "ca", "", "chain_leaf"},
    {"CA file, intermediate not sent", "incomplete_chain", "localhost", check::ca_file, "ca",
     unknown_issuer_refusal, "chain_leaf"},
    {"CA file, self-signed leaf not in it", "self_signed", "localhost", check::ca_file, "ca", self_signed_refusal,
     "self_signed"},
    {"CA file holding the self-signed leaf", "self_signed", "localhost", check::ca_file, "self_signed", "",
     "self_signed"},
    {"IP host, IP entry", "ip", "127.0.0.1", check::ca_file, "ca", "", "ip"},
    {"IP host, name entry only", "localhost", "127.0.0.1", check::ca_file, "ca",
     "Certificate name mismatch: not issued for 127.0.0.1", "localhost"},
    {"host name, IP entry only", "ip", "localhost", check::ca_file, "ca",
     "Certificate name mismatch: not issued for localhost", "ip"},
    {"issued for another name", "wrong_name", "localhost", check::ca_file, "ca",
     "Certificate name mismatch: not issued for localhost", "wrong_name"},
    {"expired", "expired", "localhost", check::ca_file, "ca", out_of_date_refusal, "expired"},
    {"pinned self-signed", "self_signed", "127.0.0.1", check::pinned, "self_signed", "", "self_signed"},
    {"pinned, other name", "wrong_name", "localhost", check::pinned, "wrong_name", "", "wrong_name"},
    {"pinned, expired", "expired", "localhost", check::pinned, "expired", "", "expired"},
    {"unchecked self-signed", "self_signed", "localhost", check::unchecked, "", "", "self_signed"},
    {"unchecked, other name", "wrong_name", "127.0.0.1", check::unchecked, "", "", "wrong_name"},
    {"unchecked, expired", "expired", "localhost", check::unchecked, "", "", "expired"},
};

TEST(HttpTls, CertificateVerdicts)
{
    for (const auto &c : verdict_cases) {
        SCOPED_TRACE(c.name);
        const http_security security = secured(c.how, c.trusted);
        exchange_args args;
        args.host = c.host;
        outcome o = exchange(station().port(c.scenario), &security, args);
        EXPECT_EQ(c.error, o.error);
        EXPECT_EQ(c.error[0] ? -1 : 0, o.rc);
        EXPECT_EQ(c.error[0] ? "" : answer_to_x, o.body);
        EXPECT_EQ(station().fingerprint(c.presented), o.presented);
    }
}

TEST(HttpTls, FingerprintMismatchNamesThePresentedCertificate)
{
    const http_security security = secured(check::pinned, "localhost");
    outcome o = exchange(station().port("self_signed"), &security);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Certificate fingerprint mismatch: the station presented " + station().fingerprint("self_signed"),
              o.error);
    EXPECT_EQ(station().fingerprint("self_signed"), o.presented);
}

TEST(HttpTls, UnreadableCaFileIsNamed)
{
    const std::string missing = station().certificate("ca") + ".missing";
    for (const std::string &path : {missing, station().empty_file()}) {
        SCOPED_TRACE(path);
        http_security security = secured(check::system_store);
        security.ca_file = path;
        outcome o = exchange(station().port("localhost"), &security);
        EXPECT_EQ(-1, o.rc);
        EXPECT_EQ("Cannot read CA file: " + path, o.error);
    }
}

TEST(HttpTls, PlainStationOnATlsExchange)
{
    const http_security security = secured(check::unchecked);
    outcome o = exchange(station().port("plain"), &security);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("The station answered without TLS: connect without https", o.error);
    EXPECT_EQ("", o.presented);
}

TEST(HttpTls, TlsStationOnAPlainExchange)
{
    // What a TLS station sends to a request without TLS: a fatal alert record.
    script_server server;
    server.answer(std::string("\x15\x03\x01\x00\x02\x02\x46", 7));
    outcome o = exchange(server.port(), nullptr);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("The station answered with TLS: use https", o.error);
}

TEST(HttpTls, StationHangingUpInTheHandshake)
{
    const http_security security = secured(check::unchecked);
    outcome o = exchange(station().port("hang_up"), &security);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ(0u, o.error.rfind("TLS handshake failed: ", 0)) << o.error;
    EXPECT_GT(o.error.size(), sizeof "TLS handshake failed: " - 1);
}

TEST(HttpTls, StationClosingBeforeTheRequestFailsTheSend)
{
    // Sending to a station that has gone must fail the exchange, not raise
    // SIGPIPE in the host.
    const http_security security = secured(check::unchecked);
    exchange_args args;
    args.method = "POST";
    args.body.assign(size_t{8} << 20, 'b');
    outcome o = exchange(station().port("close_after_handshake"), &security, args);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Failed to send request body", o.error);
}

TEST(HttpTls, StalledHandshakeEndsAtTheTotalBound)
{
    const http_security security = secured(check::unchecked);
    exchange_args args;
    args.timeout_sec = 1;
    outcome o = exchange(station().port("stall"), &security, args);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("TLS handshake not complete within 2 seconds", o.error);
    EXPECT_GE(o.took, milliseconds(1900));
    EXPECT_LT(o.took, milliseconds(3000));
}

TEST(HttpTls, AnswerEndsWithOrWithoutTheClosingAlert)
{
    struct end_case { const char *path; int timeout_sec; const char *body; };
    const end_case cases[] = {
        {"/x", 5, answer_to_x},
        {"/no-close-notify", 5, R"({"success":true})"},
        // The close comes in the last second of the two the exchange has.
        {"/slow-no-close-notify", 1, "{}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        outcome o = unchecked_get(c.path, c.timeout_sec);
        EXPECT_EQ(0, o.rc);
        EXPECT_EQ("", o.error);
        EXPECT_EQ(c.body, o.body);
    }
}

TEST(HttpTls, LargeAnswerArrivesWhole)
{
    outcome o = unchecked_get("/big");
    ASSERT_EQ(0, o.rc) << o.error;
    ASSERT_EQ(size_t{3} << 20, o.body.size());
    for (size_t i = 0; i < o.body.size(); i += 4099)
        ASSERT_EQ(static_cast<char>(i % 256), o.body[i]) << "at " << i;
}

TEST(HttpTls, RequestBytesAreThoseOfAPlainExchange)
{
    const http_security security = secured(check::ca_file, "ca");
    exchange_args args;
    args.host = "localhost";
    args.method = "POST";
    args.path = "/echo";
    args.cookie = "id=abc";
    args.content_type = "text/plain";
    args.body = "0123456789";
    const int port = station().port("localhost");
    outcome o = exchange(port, &security, args);
    EXPECT_EQ(0, o.rc);
    EXPECT_EQ("POST /echo HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
                  "\r\nUser-Agent: brellock-synology-downloadstation/1.0\r\nConnection: close\r\n"
                  "Cookie: id=abc\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\n0123456789",
              o.body);
}

TEST(HttpTls, TricklingAnswerEndsAtTheTotalBound)
{
    struct trickle_case { const char *name, *scenario, *path; };
    const trickle_case cases[] = {
        {"a record for each byte", "self_signed", "/trickle"},
        {"one record, a byte at a time", "trickled_record", "/x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        outcome o = unchecked_get(c.path, 1, c.scenario);
        EXPECT_EQ(-1, o.rc);
        EXPECT_EQ("Response not complete within 2 seconds", o.error);
        EXPECT_GE(o.took, milliseconds(1900));
        EXPECT_LT(o.took, milliseconds(3000));
    }
}

TEST(HttpTls, EndlessAnswerFailsNearTheSizeLimit)
{
    outcome o = unchecked_get("/endless", 10);
    EXPECT_EQ(-1, o.rc);
    EXPECT_EQ("Response too large (over 64 MiB)", o.error);
    EXPECT_LT(peak_memory_kib(), peak_allowed_kib);
}

TEST(HttpTls, ResetMidAnswerKeepsWhatArrived)
{
    outcome o = unchecked_get("/reset");
    EXPECT_EQ(0, o.rc) << o.error;
    EXPECT_EQ("{\"succ", o.body);
}

}  // namespace
