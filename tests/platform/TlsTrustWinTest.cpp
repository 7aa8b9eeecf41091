// With no ca_file Windows' verifier judges the server: the fixture's throw-away certificate a root
// of the throw-away Wine prefix, or not, or for another name. (Wine keeps no Disallowed store.)
#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "tests/platform/CurlFtpClientFixture.h"

namespace {

using namespace adv::test::curl;

// A root Windows trusts while this lives (none for no PEM). Wine writes a system store out
// when told to, not as it changes.
struct TrustedRoot {
    explicit TrustedRoot(const QByteArray& pem)
    {
        std::vector<BYTE> der(static_cast<std::size_t>(pem.size()));
        auto size = static_cast<DWORD>(der.size());
        if (CryptStringToBinaryA(pem.constData(), size, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_NEW, &added);
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    ~TrustedRoot()
    {
        CertDeleteCertificateFromStore(added);  // takes a null one too
        CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        CertCloseStore(store, 0);
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    PCCERT_CONTEXT added = nullptr;
};

struct Judged {
    const char* name;
    bool madeRoot;
    std::string certifiedName;
    const char* refusal;  // what the reason says; nullptr: the download works
    friend void PrintTo(const Judged& c, std::ostream* os) { *os << c.name; }
};

class SystemTrustJudges : public CurlFtpClientTest, public ::testing::WithParamInterface<Judged> {};

TEST_P(SystemTrustJudges, TheServersCertificate)
{
    const Judged c = GetParam();
    serve(content(5000, 11));
    FtpServerOptions options = serverOptions(FtpTls::Explicit);
    options.certifiedName = c.certifiedName;
    FtpServer server(options);
    const TrustedRoot root(c.madeRoot ? adv::test::readFile(server.caFile()) : QByteArray());
    ASSERT_EQ(root.added != nullptr, c.madeRoot);
    auto ftp = session(clientOptions(server, false));
    const adv::platform::FtpResult opened = ftp->OpenSession();
    if (c.refusal != nullptr) {
        EXPECT_EQ(opened.failure, FtpFailure::Untrusted) << opened.detail;
        EXPECT_NE(opened.detail.find(c.refusal), std::string::npos) << opened.detail;
        return;
    }
    ASSERT_FTP_OK(opened);
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(fetch(*ftp));
    EXPECT_TRUE(received() == content(5000, 11));
}

INSTANTIATE_TEST_SUITE_P(Ftp, SystemTrustJudges,
                         ::testing::Values(Judged{"Root", true, "", nullptr},
                                           Judged{"UnknownRoot", false, "", "untrusted root"},
                                           Judged{"RootForAnotherName", true, "ftp.altrove.test", "not issued for"}),
                         [](const ::testing::TestParamInfo<Judged>& p) { return std::string(p.param.name); });

}  // namespace
