// What the Schannel TLS files share: the chain and name checks, made with
// crypt32 (tls_schannel_chain.cpp). Windows only.
#pragma once

#include "tls.h"

#include <windows.h>
#include <wincrypt.h>

namespace tls {

// Whether leaf chains to a trusted root (the system's, or only those of
// security.ca_file) and is issued for host; writes the refusal when not.
bool chain_accepted(const CERT_CONTEXT *leaf, const char *host, const http_security &security,
                    const message &error);

}  // namespace tls
