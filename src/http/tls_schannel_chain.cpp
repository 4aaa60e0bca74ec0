// The chain and name checks of an HTTPS exchange on Windows, with crypt32.
// Trust and dates are read from the chain's own status and the name asked of
// the SSL chain policy (an IP address compared here), so that Windows and
// Wine, whose policy lets an unknown root pass, judge alike.
#include "tls_schannel.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tls {

namespace {

// Flags of the SSL chain policy (wininet.h names them SECURITY_FLAG_IGNORE_*):
// trust and dates are judged from the chain's own status; the policy is
// asked about the name alone.
constexpr DWORD policy_ignores_unknown_ca = 0x00000100;
constexpr DWORD policy_ignores_dates = 0x00002000;
constexpr DWORD policy_ignores_revocation = 0x00000080;

// What the chain check reads from the chain's status; the rest are
// revocation states, and revocation is not checked.
constexpr DWORD untrusted_statuses = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC;
constexpr DWORD ignored_statuses = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

struct chain_deleter {
    void operator()(const CERT_CHAIN_CONTEXT *chain) const { CertFreeCertificateChain(chain); }
};
using chain_ptr = std::unique_ptr<const CERT_CHAIN_CONTEXT, chain_deleter>;
struct store_closer {
    void operator()(void *store) const { CertCloseStore(store, 0); }
};
using store_ptr = std::unique_ptr<void, store_closer>;
struct engine_deleter {
    void operator()(void *engine) const { CertFreeCertificateChainEngine(static_cast<HCERTCHAINENGINE>(engine)); }
};
using engine_ptr = std::unique_ptr<void, engine_deleter>;
struct local_deleter {
    void operator()(void *memory) const { LocalFree(memory); }
};
struct handle_closer {
    void operator()(void *handle) const { CloseHandle(handle); }
};

std::wstring wide(const std::string &text)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

// The whole file, or false when it cannot be read.
bool read_file(const std::string &path, std::string &content)
{
    std::unique_ptr<void, handle_closer> file(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        file.release();
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) return false;
    content.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return content.empty() ||
           (ReadFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &got, nullptr) &&
            got == content.size());
}

// A store of the certificates of one PEM file; null when it holds none.
store_ptr store_of_pem_file(const std::string &path)
{
    std::string pem;
    if (!read_file(path, pem)) return nullptr;
    store_ptr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store) return nullptr;
    static const char begin[] = "-----BEGIN CERTIFICATE-----";
    static const char end[] = "-----END CERTIFICATE-----";
    int count = 0;
    for (size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
        const size_t stop = pem.find(end, at);
        if (stop == std::string::npos) break;
        const size_t block_len = stop + sizeof end - 1 - at;
        DWORD der_len = 0;
        if (CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(block_len), CRYPT_STRING_BASE64HEADER,
                                 nullptr, &der_len, nullptr, nullptr)) {
            std::vector<BYTE> der(der_len);
            if (CryptStringToBinaryA(pem.data() + at, static_cast<DWORD>(block_len), CRYPT_STRING_BASE64HEADER,
                                     der.data(), &der_len, nullptr, nullptr) &&
                CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(), der_len,
                                                 CERT_STORE_ADD_ALWAYS, nullptr))
                ++count;
        }
        at = stop;
    }
    if (count == 0) return nullptr;
    return store;
}

// A chain engine whose only roots are those of the store. Windows 8 and
// later know the configuration with dwExclusiveFlags; Windows 7 and Wine
// only the one before it.
engine_ptr engine_trusting(HCERTSTORE roots)
{
    constexpr DWORD sizes[] = {sizeof(CERT_CHAIN_ENGINE_CONFIG), offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags)};
    for (DWORD size : sizes) {
        CERT_CHAIN_ENGINE_CONFIG config{};
        config.cbSize = size;
        config.hExclusiveRoot = roots;
        HCERTCHAINENGINE engine = nullptr;
        if (CertCreateCertificateChainEngine(&config, &engine)) return engine_ptr(engine);
    }
    return nullptr;
}

chain_ptr chain_of(HCERTCHAINENGINE engine, const CERT_CONTEXT *leaf)
{
    static char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    char *usages[] = {server_auth};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    const CERT_CHAIN_CONTEXT *chain = nullptr;
    if (!CertGetCertificateChain(engine, leaf, nullptr, leaf->hCertStore, &para, 0, nullptr, &chain)) return nullptr;
    return chain_ptr(chain);
}

void note_status(findings &found, const CERT_CHAIN_CONTEXT *chain)
{
    const DWORD status = chain->TrustStatus.dwErrorStatus & ~ignored_statuses;
    if (status & untrusted_statuses) {
        const CERT_SIMPLE_CHAIN *first = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
        const bool lone_self_signed = first && first->cElement == 1 &&
                                      (first->rgpElement[0]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
        (lone_self_signed ? found.self_signed : found.unknown_issuer) = true;
    }
    if (status & CERT_TRUST_IS_NOT_TIME_VALID) found.out_of_date = true;
    const DWORD rest = status & ~(untrusted_statuses | CERT_TRUST_IS_NOT_TIME_VALID);
    if (rest != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "certificate chain not valid (status 0x%08lX)", static_cast<unsigned long>(rest));
        found.other = text;
    }
}

bool issued_for_name(const CERT_CHAIN_CONTEXT *chain, const char *host)
{
    std::wstring name = wide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = policy_ignores_unknown_ca | policy_ignores_dates | policy_ignores_revocation;
    ssl.pwszServerName = name.data();
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG | CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status)) return false;
    return static_cast<HRESULT>(status.dwError) != CERT_E_CN_NO_MATCH;
}

// Whether an IP address entry of the certificate holds the host's address.
bool issued_for_address(const CERT_CONTEXT *leaf, const char *host)
{
    unsigned char address[16];
    size_t address_len = 0;
    if (inet_pton(AF_INET, host, address) == 1) address_len = 4;
    else if (inet_pton(AF_INET6, host, address) == 1) address_len = 16;
    const CERT_INFO *info = leaf->pCertInfo;
    const CERT_EXTENSION *names = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (address_len == 0 || !names) return false;
    CERT_ALT_NAME_INFO *decoded = nullptr;
    DWORD decoded_len = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, names->Value.pbData, names->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &decoded_len))
        return false;
    std::unique_ptr<CERT_ALT_NAME_INFO, local_deleter> owned(decoded);
    for (DWORD i = 0; i < decoded->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY &entry = decoded->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address_len &&
            std::memcmp(entry.IPAddress.pbData, address, address_len) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool chain_accepted(const CERT_CONTEXT *leaf, const char *host, const http_security &security, const message &error)
{
    store_ptr roots;
    engine_ptr engine;
    if (!security.ca_file.empty()) {
        roots = store_of_pem_file(security.ca_file);
        if (!roots) {
            report_unreadable_ca_file(error, security.ca_file);
            return false;
        }
        engine = engine_trusting(roots.get());
        if (!engine) {
            report_handshake_failure(error, "the CA file cannot be used for a chain check");
            return false;
        }
    }
    chain_ptr chain = chain_of(static_cast<HCERTCHAINENGINE>(engine.get()), leaf);
    if (!chain) {
        report_handshake_failure(error, "the certificate chain could not be built");
        return false;
    }
    findings found;
    note_status(found, chain.get());
    if (is_ip_literal(host) ? !issued_for_address(leaf, host) : !issued_for_name(chain.get(), host))
        found.name_mismatch = true;
    return !refused(found, host, error);
}

}  // namespace tls
