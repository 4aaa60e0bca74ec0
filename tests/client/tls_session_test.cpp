// A session with a station that has a self-signed certificate, as a host
// meets it: refused at first with the fingerprint to offer, then trusted by
// that fingerprint for the login and the calls after it.
#include "synology_ds.h"
#include "tls_station.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string session_info(int port, const char *verification, const std::string &fingerprint, bool connected)
{
    return R"({"host":"127.0.0.1","port":)" + std::to_string(port) + R"(,"https":true,"verification":")" +
           verification + R"(","fingerprint_sha256":")" + fingerprint + R"(","device_id":"","connected":)" +
           (connected ? "true" : "false") + "}";
}

TEST(TlsSession, SelfSignedStationRefusedThenTrustedByItsFingerprint)
{
    const tls_station station;
    const int port = station.port("self_signed");
    const std::string presented = station.fingerprint("self_signed");

    EXPECT_EQ(-1, ds_connect_with("127.0.0.1", port, "user", "pass", R"({"https":true})"));
    EXPECT_STREQ("HTTP connect failed: Certificate not trusted: self-signed (pass its fingerprint or a CA file)",
                 ds_last_error());
    EXPECT_EQ(session_info(port, "system", presented, false), ds_session_info());

    // As shown, and as 64 hex digits in lower case.
    for (const std::string &pinned : {presented, station.fingerprint_hex("self_signed")}) {
        SCOPED_TRACE(pinned);
        const std::string options = R"({"https":true,"fingerprint_sha256":")" + pinned + R"("})";
        ASSERT_EQ(0, ds_connect_with("127.0.0.1", port, "user", "pass", options.c_str())) << ds_last_error();
        EXPECT_EQ(session_info(port, "fingerprint", presented, true), ds_session_info());
        EXPECT_STREQ(R"({"path":"/webapi/DownloadStation/info.cgi?api=SYNO.DownloadStation.Info&version=1)"
                     R"(&method=getinfo&_sid=TLS1"})",
                     ds_info());
        EXPECT_STREQ("", ds_last_error());
        EXPECT_EQ(0, ds_disconnect());
    }
}

TEST(TlsSession, OtherFingerprintRefusedWithThePresentedOne)
{
    const tls_station station;
    const int port = station.port("self_signed");
    const std::string options = R"({"https":true,"fingerprint_sha256":")" + station.fingerprint("ca") + R"("})";
    EXPECT_EQ(-1, ds_connect_with("127.0.0.1", port, "user", "pass", options.c_str()));
    EXPECT_EQ("HTTP connect failed: Certificate fingerprint mismatch: the station presented " +
                  station.fingerprint("self_signed"),
              ds_last_error());
    EXPECT_EQ(0, ds_is_connected());
}

}  // namespace
