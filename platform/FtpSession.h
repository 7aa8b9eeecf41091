// The FTP session the update command drives: four settings, four operations.
// libcurl speaks the protocol; this is only the shape the caller relies on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace adv::platform {

enum class FtpTls { Off, Explicit, Implicit };

// Connection details beyond the four settings; all come from configuration.
struct FtpOptions {
    int port = 21;
    FtpTls tls = FtpTls::Off;
    std::string caFile;              // empty: the system's trust store
    bool useEpsv = true;
    int connectTimeoutS = 20;        // connecting and waiting for each reply
    int stallTimeoutS = 30;          // a transfer that moves nothing this long fails
};

// Bytes received so far and the size the server announced (-1 when unknown).
using FtpProgress = std::function<void(std::int64_t received, std::int64_t total)>;

class FtpClient {
public:
    virtual ~FtpClient() = default;

    // The four settings, made before every OpenSession.
    virtual void setHostname(const std::string& host) = 0;
    virtual void setUsername(const std::string& user) = 0;
    virtual void setPassword(const std::string& password) = 0;
    virtual void setPassive(bool passive) = 0;

    // Each returns true on success. On failure errorText() says why, in
    // English, for stderr only (never holding the password).
    virtual bool OpenSession() = 0;
    virtual bool EnterRemoteFolder(const std::string& folder) = 0;
    // Downloads `remoteName` from the current folder and replaces `target`
    // with it; `target` is untouched unless the whole file arrived. An empty
    // download counts as a failure. One update of a file at a time: while
    // one runs, `target` + ".lock" exists beside it and a second FetchFile of
    // the same target, from any process, fails.
    virtual bool FetchFile(const std::string& remoteName, const std::filesystem::path& target,
                           const FtpProgress& progress = {}) = 0;
    virtual void CloseSession() = 0;

    virtual std::string errorText() const = 0;
};

// The libcurl-backed session.
std::unique_ptr<FtpClient> makeCurlFtpSession(const FtpOptions& options);

}  // namespace adv::platform
