#include "http_client.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#  include <winsock2.h>
#endif

#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string encode(const char *text)
{
    std::unique_ptr<char, decltype(&std::free)> out(http_url_encode(text), &std::free);
    EXPECT_NE(out, nullptr);
    return out ? std::string(out.get()) : std::string();
}

TEST(UrlEncode, KeepsUnreservedAndEscapesEverythingElse)
{
    struct encode_case { const char *input, *expected; };
    const encode_case cases[] = {
        {"", ""},
        {"a b/c~", "a%20b%2Fc~"},
        {"AZaz09-._~", "AZaz09-._~"},
        {"\xE9", "%E9"},
        {"\x7F", "%7F"},
        {"\x01\x1F", "%01%1F"},
        {"+&=%,:;?#", "%2B%26%3D%25%2C%3A%3B%3F%23"},
        {"%41", "%2541"},
        {"caf\xC3\xA9", "caf%C3%A9"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(c.expected, encode(c.input));
    }
}

TEST(UrlEncode, NullIsANewEmptyText)
{
    char *first = http_url_encode(nullptr);
    char *second = http_url_encode(nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_STREQ("", first);
    EXPECT_NE(first, second);
    std::free(first);
    std::free(second);
}

TEST(UrlEncode, EveryByteEscapedTakesThreeCharacters)
{
    std::string input;
    for (int b = 1; b < 256; ++b)
        if (!std::isalnum(b) && b != '-' && b != '.' && b != '_' && b != '~') input += static_cast<char>(b);
    EXPECT_EQ(3 * input.size(), encode(input.c_str()).size());
}

#if defined(_WIN32)
// Whether Windows Sockets is started in this process: only then can a socket be made.
bool windows_sockets_started()
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return WSAGetLastError() != WSANOTINITIALISED;
    closesocket(s);
    return true;
}
#endif

TEST(NetworkLayer, StartsOnceAndStopsOnce)
{
#if defined(_WIN32)
    EXPECT_FALSE(windows_sockets_started());
#endif
    EXPECT_EQ(0, http_cleanup());  // not started: nothing to stop
    EXPECT_EQ(0, http_init());
    EXPECT_EQ(1, http_init());
#if defined(_WIN32)
    EXPECT_TRUE(windows_sockets_started());
#endif
    EXPECT_EQ(0, http_cleanup());  // the shut-down call's result
#if defined(_WIN32)
    EXPECT_FALSE(windows_sockets_started());  // started once, stopped once
#endif
    EXPECT_EQ(0, http_cleanup());
}

TEST(NetworkLayer, FirstRequestStartsIt)
{
    http_cleanup();
    scoped_response r;
    char error[http_error_capacity] = "";
    // Refused before any socket call, yet the layer is started first.
    EXPECT_EQ(-1, http_request("GET", nullptr, 5000, "/", nullptr, nullptr, nullptr, 0, 1, &r, error, sizeof error));
    EXPECT_STREQ("Invalid host or port", error);
    EXPECT_EQ(1, http_init());
    EXPECT_EQ(0, http_cleanup());
}

}  // namespace
