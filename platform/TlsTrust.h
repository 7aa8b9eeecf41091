// Whom a session's TLS trusts when no ca_file is given: the system's own.
// On Linux OpenSSL reads the system's store itself. On Windows it has none:
// Windows' own verifier judges the chain the server sends, as Windows' own
// programs are judged, so that the roots Windows fetches when first needed,
// revocation and the certificates IT has distrusted all count. The TLS
// itself stays OpenSSL's, whose session the data connections resume.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace adv::platform {

struct SystemTrust {
    std::string host;              // the name the server's certificate must carry
    std::chrono::seconds bound{};  // the longest the verifier waits for what it fetches
    std::string refusal;           // why the verifier last refused a server, in English
};

// Makes the system's verifier judge the servers `easy` connects to;
// false when libcurl refused. `trust` outlives `easy`'s connections.
bool useSystemVerifier(CURL* easy, SystemTrust& trust);

}  // namespace adv::platform
