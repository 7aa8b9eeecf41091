// Before wincrypt.h: the chain's parameters then hold the time allowed for
// what the verifier fetches.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "platform/TlsTrust.h"

#include "platform/Text_win.h"

#include <wincrypt.h>
// After Windows' headers: OpenSSL's take back the names wincrypt.h makes macros.
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>

namespace adv::platform {
namespace {

struct StoreCloser {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
struct CertificateFreer {
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
struct ChainFreer {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
using Store = std::unique_ptr<void, StoreCloser>;
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;
using Chain = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFreer>;

struct Named {
    DWORD code;
    const char* words;
};

// What the SSL policy says most often, in words an operator can pass on to IT.
constexpr Named kPolicyErrors[] = {
    {static_cast<DWORD>(CERT_E_UNTRUSTEDROOT), "it leads to a root Windows does not trust"},
    {static_cast<DWORD>(CERT_E_CHAINING), "it leads to no root Windows knows"},
    {static_cast<DWORD>(CERT_E_CN_NO_MATCH), "it is not issued for the configured host"},
    {static_cast<DWORD>(TRUST_E_EXPLICIT_DISTRUST), "it or its issuer is distrusted (the Disallowed store)"},
    {static_cast<DWORD>(CRYPT_E_REVOKED), "it or its issuer is revoked"},
    {static_cast<DWORD>(CERT_E_EXPIRED), "it or its issuer is expired or not yet valid"},
    {static_cast<DWORD>(CERT_E_WRONG_USAGE), "it is not for servers"},
    {static_cast<DWORD>(TRUST_E_CERT_SIGNATURE), "a signature in the chain is not valid"},
};

constexpr Named kChainFaults[] = {
    {CERT_TRUST_IS_UNTRUSTED_ROOT, "untrusted root"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, "partial chain"},
    {CERT_TRUST_IS_EXPLICIT_DISTRUST, "explicitly distrusted"},
    {CERT_TRUST_IS_REVOKED, "revoked"},
    {CERT_TRUST_IS_NOT_TIME_VALID, "not time valid"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "signature not valid"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "not valid for server authentication"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, "invalid basic constraints"},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS, "invalid name constraints"},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, "revocation status unknown"},
    {CERT_TRUST_IS_OFFLINE_REVOCATION, "revocation server offline"},
};

std::string hex(DWORD code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

std::string refusal(DWORD policyError, DWORD chainFaults)
{
    const auto* known = std::find_if(std::begin(kPolicyErrors), std::end(kPolicyErrors),
                                     [&](const Named& n) { return n.code == policyError; });
    const std::string why = std::string("Windows refused the certificate: ") +
                            (known != std::end(kPolicyErrors) ? known->words : "error") + " (" + hex(policyError);
    std::string faults;
    for (const Named& n : kChainFaults) {
        if ((chainFaults & n.code) != 0)
            faults += std::string(faults.empty() ? "" : ", ") + n.words;
    }
    return why + (faults.empty() ? "" : "; the chain: " + faults) + ")";
}

// `certificate` in `store`, as Windows' own; nothing when it cannot be.
Certificate add(HCERTSTORE store, X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        return nullptr;
    PCCERT_CONTEXT added = nullptr;
    const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, static_cast<DWORD>(length),
                                                     CERT_STORE_ADD_USE_EXISTING, &added);
    OPENSSL_free(der);
    return Certificate(ok ? added : nullptr);
}

// Windows' chain from `leaf`, with what else the server sent to find its
// issuers by; revocation is checked below the root, the fetches it needs
// together bounded, and so is each fetch of a missing issuer.
Chain buildChain(X509* leaf, STACK_OF(X509) * sent, std::chrono::seconds bound, std::string& why)
{
    const Store others(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    const Certificate server = others ? add(others.get(), leaf) : nullptr;
    if (!server) {
        why = "Windows cannot read the server's certificate";
        return nullptr;
    }
    for (int i = 0; i < sk_X509_num(sent); ++i)
        (void)add(others.get(), sk_X509_value(sent, i));
    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    para.dwUrlRetrievalTimeout = static_cast<DWORD>(std::chrono::milliseconds(bound).count());
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, server.get(), nullptr, others.get(), &para,
                                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                     CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                 nullptr, &chain)) {
        why = "Windows cannot build the certificate's chain (error " + hex(GetLastError()) + ")";
        return nullptr;
    }
    return Chain(chain);
}

// Empty when Windows trusts the server; else why not.
std::string judge(X509* leaf, STACK_OF(X509) * sent, const SystemTrust& trust)
{
    std::optional<std::wstring> host = win::toUtf16(trust.host);
    if (!host || host->empty())
        return "no host name for Windows to check the certificate against";
    std::string why;
    const Chain chain = buildChain(leaf, sent, trust.bound, why);
    if (!chain)
        return why;
    HTTPSPolicyCallbackData ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = host->data();
    // A revocation server out of reach does not stop the update, as it does
    // not stop Windows' own programs: the release is signed, and a site whose
    // network cannot reach the CA would otherwise never update. A certificate
    // known to be revoked is refused.
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status))
        return "Windows cannot check the certificate (error " + hex(GetLastError()) + ")";
    return status.dwError == 0 ? std::string() : refusal(status.dwError, chain->TrustStatus.dwErrorStatus);
}

// In place of OpenSSL's own verification, which on Windows has no roots.
int verifyBySystem(X509_STORE_CTX* context, void* trust) noexcept
{
    auto& system = *static_cast<SystemTrust*>(trust);
    try {
        system.refusal = judge(X509_STORE_CTX_get0_cert(context), X509_STORE_CTX_get0_untrusted(context), system);
    } catch (...) {
        system.refusal = "out of memory while checking the certificate";
    }
    if (system.refusal.empty())
        return 1;
    X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

CURLcode onSslContext(CURL*, void* sslContext, void* trust)
{
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(sslContext), &verifyBySystem, trust);
    return CURLE_OK;
}

}  // namespace

bool useSystemVerifier(CURL* easy, SystemTrust& trust)
{
    // A libcurl whose TLS takes no such hook refuses it, and the session
    // does not open rather than trust nothing.
    return curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &onSslContext) == CURLE_OK &&
           curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &trust) == CURLE_OK;
}

}  // namespace adv::platform
