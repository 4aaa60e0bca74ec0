// TLS with Schannel (SSPI), so that the DLL needs only what Windows has.
// secur32.dll is loaded at the first HTTPS exchange rather than with the
// DLL: Wine's starts Windows Sockets as it loads, in every host process.
// Schannel is told not to judge the certificate (manual validation): it is
// judged with crypt32 (its fingerprint here, its chain and name in
// tls_schannel_chain.cpp), the same way on Windows and under Wine, whose
// Schannel and chain policy differ from Windows'. The socket stays blocking;
// every receive is preceded by a wait bounded by the exchange's deadline.
#include "tls_schannel.h"

#ifndef SECURITY_WIN32
#  define SECURITY_WIN32
#endif
#include <schannel.h>
#include <security.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tls {

namespace {

// Schannel's calls, from the system's secur32.dll; null when it cannot be
// loaded. Loaded once, kept for the process's life.
const SecurityFunctionTableA *sspi()
{
    static const SecurityFunctionTableA *const table = []() -> const SecurityFunctionTableA * {
        wchar_t path[MAX_PATH];
        const UINT n = GetSystemDirectoryW(path, MAX_PATH);
        static const wchar_t name[] = L"\\secur32.dll";
        if (n == 0 || n + sizeof name / sizeof name[0] > MAX_PATH) return nullptr;
        std::memcpy(path + n, name, sizeof name);
        HMODULE module = LoadLibraryW(path);
        FARPROC entry = module ? GetProcAddress(module, SECURITY_ENTRYPOINT_ANSIA) : nullptr;
        if (!entry) return nullptr;
        // Through void (*)(void), which GCC accepts as a cast to any function type.
        auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(reinterpret_cast<void (*)(void)>(entry));
        return init();
    }();
    return table;
}

}  // namespace

class channel {
public:
    net::socket_t socket = net::invalid_socket;
    CredHandle credentials{};
    bool has_credentials = false;
    CtxtHandle context{};
    bool has_context = false;
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> incoming;  // received, not yet decrypted: incoming_len bytes
    size_t incoming_len = 0;
    std::vector<char> plain;  // decrypted, not yet handed over from plain_at on
    size_t plain_at = 0;
    bool ended = false;
    char first_bytes[5] = {};
    size_t first_len = 0;

    channel() = default;
    ~channel()
    {
        if (has_context) sspi()->DeleteSecurityContext(&context);
        if (has_credentials) sspi()->FreeCredentialsHandle(&credentials);
    }
    channel(const channel &) = delete;
    channel &operator=(const channel &) = delete;
};

void close(channel *c) { delete c; }

namespace {

constexpr size_t first_incoming_size = size_t{32} << 10;
// A handshake message or a record never needs more.
constexpr size_t incoming_limit = size_t{1} << 20;

struct certificate_deleter {
    void operator()(const CERT_CONTEXT *certificate) const { CertFreeCertificateContext(certificate); }
};
using certificate_ptr = std::unique_ptr<const CERT_CONTEXT, certificate_deleter>;

// A token SSPI allocated for the handshake.
struct output_token {
    SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
    output_token() = default;
    ~output_token()
    {
        if (buffer.pvBuffer) sspi()->FreeContextBuffer(buffer.pvBuffer);
    }
    output_token(const output_token &) = delete;
    output_token &operator=(const output_token &) = delete;
};

int io_size(size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

std::string status_reason(SECURITY_STATUS status)
{
    switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
        return "the station refused the handshake or sent a message that is not TLS";
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
        return "no protocol version or cipher in common";
    case SEC_E_DECRYPT_FAILURE:
    case SEC_E_MESSAGE_ALTERED:
        return "a record could not be decrypted";
    default:
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "error 0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// Sends every byte of a token or record.
bool send_raw(const channel &c, const char *data, size_t len, steady::time_point deadline)
{
    while (len > 0) {
        if (steady::now() >= deadline || !net::wait_ready(c.socket, true, remaining_ms(deadline))) return false;
        const int sent = ::send(c.socket, data, io_size(len), 0);
        if (sent <= 0) return false;
        data += sent;
        len -= static_cast<size_t>(sent);
    }
    return true;
}

enum class arrival { bytes, closed, silent, failed };

// Receives more of the station's bytes behind those kept, waiting at most wait_ms.
arrival receive_raw(channel &c, int wait_ms)
{
    if (c.incoming.size() == c.incoming_len) {
        if (c.incoming.size() >= incoming_limit) return arrival::failed;
        c.incoming.resize(std::max(first_incoming_size, c.incoming.size() * 2));
    }
    if (!net::wait_ready(c.socket, false, wait_ms)) return arrival::silent;
    const int got = ::recv(c.socket, c.incoming.data() + c.incoming_len, io_size(c.incoming.size() - c.incoming_len), 0);
    if (got == 0) return arrival::closed;
    if (got < 0) return arrival::failed;
    const size_t n = std::min(static_cast<size_t>(got), sizeof c.first_bytes - c.first_len);
    std::memcpy(c.first_bytes + c.first_len, c.incoming.data() + c.incoming_len, n);
    c.first_len += n;
    c.incoming_len += static_cast<size_t>(got);
    return arrival::bytes;
}

// Keeps the bytes SSPI left unread (its EXTRA buffer, at the end of what it
// was given) at the front of incoming.
void keep_extra(channel &c, const SecBuffer &extra)
{
    if (extra.BufferType != SECBUFFER_EXTRA || extra.cbBuffer == 0) {
        c.incoming_len = 0;
        return;
    }
    std::memmove(c.incoming.data(), c.incoming.data() + c.incoming_len - extra.cbBuffer, extra.cbBuffer);
    c.incoming_len = extra.cbBuffer;
}

bool acquire_credentials(channel &c)
{
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    char package[] = UNISP_NAME_A;
    const SECURITY_STATUS status = sspi()->AcquireCredentialsHandleA(
        nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr, nullptr, &c.credentials, nullptr);
    c.has_credentials = status == SEC_E_OK;
    return c.has_credentials;
}

constexpr ULONG context_requests = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS;

// One step of the handshake over what has arrived (none for the first).
SECURITY_STATUS handshake_step(channel &c, char *server_name, output_token &out)
{
    SecBufferDesc out_list{SECBUFFER_VERSION, 1, &out.buffer};
    ULONG granted = 0;
    if (!c.has_context) {
        const SECURITY_STATUS status =
            sspi()->InitializeSecurityContextA(&c.credentials, nullptr, server_name, context_requests, 0, 0,
                                               nullptr, 0, &c.context, &out_list, &granted, nullptr);
        c.has_context = status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK;
        return status;
    }
    SecBuffer in[2] = {{static_cast<ULONG>(c.incoming_len), SECBUFFER_TOKEN, c.incoming.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_list{SECBUFFER_VERSION, 2, in};
    const SECURITY_STATUS status =
        sspi()->InitializeSecurityContextA(&c.credentials, &c.context, server_name, context_requests, 0, 0,
                                           &in_list, 0, &c.context, &out_list, &granted, nullptr);
    // Both ask for the same bytes once more (with more of them, or again).
    if (status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) keep_extra(c, in[1]);
    return status;
}

bool handshake_failed(const channel &c, const message &error, const std::string &reason)
{
    if (looks_like_http(c.first_bytes, c.first_len))
        report_plain_answer(error);
    else
        report_handshake_failure(error, reason.c_str());
    return false;
}

bool handshake(channel &c, const char *host, bound limit, const message &error)
{
    std::string name = is_ip_literal(host) ? std::string() : std::string(host);
    char *server_name = name.empty() ? nullptr : name.data();
    bool need_bytes = false;
    for (;;) {
        if (need_bytes) {
            switch (receive_raw(c, remaining_ms(limit.deadline))) {
            case arrival::bytes:
                break;
            case arrival::silent:
                if (looks_like_http(c.first_bytes, c.first_len)) return handshake_failed(c, error, "");
                report_handshake_time(error, limit.seconds);
                return false;
            case arrival::closed:
                return handshake_failed(c, error, "the station closed the connection");
            case arrival::failed:
                return handshake_failed(c, error, "the connection failed");
            }
        }
        output_token out;
        const SECURITY_STATUS status = handshake_step(c, server_name, out);
        if (out.buffer.pvBuffer && out.buffer.cbBuffer > 0 &&
            !send_raw(c, static_cast<const char *>(out.buffer.pvBuffer), out.buffer.cbBuffer, limit.deadline)) {
            if (steady::now() >= limit.deadline) {
                report_handshake_time(error, limit.seconds);
                return false;
            }
            return handshake_failed(c, error, "the connection failed");
        }
        if (status == SEC_E_OK) return true;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            need_bytes = true;
        } else if (status == SEC_I_CONTINUE_NEEDED || status == SEC_I_INCOMPLETE_CREDENTIALS) {
            need_bytes = c.incoming_len == 0;
        } else {
            return handshake_failed(c, error, status_reason(status));
        }
    }
}

certificate_ptr station_certificate(channel &c)
{
    const CERT_CONTEXT *certificate = nullptr;
    if (sspi()->QueryContextAttributesA(&c.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
        return nullptr;
    return certificate_ptr(certificate);
}

bool hash_certificate(const CERT_CONTEXT *certificate, unsigned char (&digest)[sha256_size])
{
    DWORD size = sizeof digest;
    return CryptHashCertificate2(L"SHA256", 0, nullptr, certificate->pbCertEncoded, certificate->cbCertEncoded,
                                 digest, &size) &&
           size == sizeof digest;
}

bool certificate_accepted(channel &c, const char *host, const http_security &security, http_peer *peer,
                          const message &error)
{
    certificate_ptr leaf = station_certificate(c);
    unsigned char digest[sha256_size];
    if (!leaf || !hash_certificate(leaf.get(), digest)) {
        if (trust_of(security) == trust::none) return true;
        report_handshake_failure(error, "the station presented no certificate");
        return false;
    }
    if (peer) peer->fingerprint_sha256 = colon_fingerprint(digest);
    switch (trust_of(security)) {
    case trust::none:
        return true;
    case trust::fingerprint:
        return fingerprint_accepted(digest, security.fingerprint_sha256, error);
    case trust::chain:
        break;
    }
    return chain_accepted(leaf.get(), host, security, error);
}

enum class decrypted { data, more_needed, end, failed };

// Decrypts the first record of incoming into plain.
decrypted decrypt(channel &c)
{
    SecBuffer buffers[4] = {{static_cast<ULONG>(c.incoming_len), SECBUFFER_DATA, c.incoming.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc list{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = sspi()->DecryptMessage(&c.context, &list, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return decrypted::more_needed;
    if (status == SEC_I_CONTEXT_EXPIRED) return decrypted::end;
    if (status != SEC_E_OK) return decrypted::failed;
    const SecBuffer *data = nullptr;
    const SecBuffer *extra = nullptr;
    for (const SecBuffer &b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && !data) data = &b;
        if (b.BufferType == SECBUFFER_EXTRA && !extra) extra = &b;
    }
    const size_t data_len = data ? data->cbBuffer : 0;
    // Wine hands the station's closing alert back as a record of no bytes.
    if (data_len == 0 && (!extra || extra->cbBuffer == 0)) return decrypted::end;
    const char *bytes = data_len ? static_cast<const char *>(data->pvBuffer) : nullptr;
    c.plain.assign(bytes, bytes + data_len);
    c.plain_at = 0;
    keep_extra(c, extra ? *extra : SecBuffer{0, SECBUFFER_EMPTY, nullptr});
    return decrypted::data;
}

}  // namespace

channel_ptr open(net::socket_t s, const char *host, const http_security &security, bound limit,
                 http_peer *peer, const message &error)
{
    if (!sspi()) {
        report_handshake_failure(error, "Schannel is not available");
        return nullptr;
    }
    channel_ptr c(new channel);
    c->socket = s;
    if (!acquire_credentials(*c)) {
        report_handshake_failure(error, "Schannel is not available");
        return nullptr;
    }
    if (!handshake(*c, host, limit, error)) return nullptr;
    if (sspi()->QueryContextAttributesA(&c->context, SECPKG_ATTR_STREAM_SIZES, &c->sizes) != SEC_E_OK) {
        report_handshake_failure(error, "no record sizes");
        return nullptr;
    }
    if (!certificate_accepted(*c, host, security, peer, error)) return nullptr;
    return c;
}

bool send_all(channel &c, const char *data, size_t len, steady::time_point deadline)
{
    const size_t header = c.sizes.cbHeader;
    const size_t most = c.sizes.cbMaximumMessage;
    std::vector<char> record(header + most + c.sizes.cbTrailer);
    while (len > 0) {
        const size_t n = std::min(len, most);
        std::memcpy(record.data() + header, data, n);
        SecBuffer buffers[4] = {{static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, record.data()},
                                {static_cast<ULONG>(n), SECBUFFER_DATA, record.data() + header},
                                {c.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + header + n},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc list{SECBUFFER_VERSION, 4, buffers};
        if (sspi()->EncryptMessage(&c.context, 0, &list, 0) != SEC_E_OK) return false;
        const size_t total = size_t{buffers[0].cbBuffer} + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (!send_raw(c, record.data(), total, deadline)) return false;
        data += n;
        len -= n;
    }
    return true;
}

long receive(channel &c, char *buffer, size_t capacity, int wait_ms, steady::time_point deadline)
{
    for (;;) {
        if (c.plain_at < c.plain.size()) {
            const size_t n = std::min(capacity, c.plain.size() - c.plain_at);
            std::memcpy(buffer, c.plain.data() + c.plain_at, n);
            c.plain_at += n;
            return static_cast<long>(n);
        }
        if (c.ended) return 0;
        if (c.incoming_len > 0) {
            switch (decrypt(c)) {
            case decrypted::data:
                continue;
            case decrypted::end:
                c.ended = true;
                return 0;
            case decrypted::failed:
                return receive_failed;
            case decrypted::more_needed:
                break;
            }
        }
        switch (receive_raw(c, std::min(wait_ms, remaining_ms(deadline)))) {
        case arrival::bytes:
            continue;
        case arrival::closed:
            c.ended = true;
            return 0;
        case arrival::silent:
            return remaining_ms(deadline) == 0 ? receive_out_of_time : receive_failed;
        case arrival::failed:
            return receive_failed;
        }
    }
}

}  // namespace tls
