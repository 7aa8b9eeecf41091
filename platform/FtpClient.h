// The FTP session the update command drives: four settings, four operations.
// libcurl speaks the protocol; this is only the shape the caller relies on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace adv::platform {

enum class FtpTls { Off, Explicit, Implicit };

// Connection details beyond the four settings; all come from configuration.
struct FtpOptions {
    int port = 21;
    FtpTls tls = FtpTls::Off;
    std::string caFile;  // empty: the system's trust store
    bool useEpsv = true;
    std::chrono::seconds connectTimeout{20};  // connecting and waiting for each reply
    // A transfer that moves less than minRateBps bytes a second over this
    // long fails; one that moves nothing at all fails too, whatever the floor.
    std::chrono::seconds stallTimeout{30};
    std::int64_t minRateBps = 1024;
    // A file whose size the server does not give is refused, since nothing
    // could tell a cut download from a whole one, unless the caller has some
    // other proof of the file; then at most maxDownloadBytes are taken.
    bool allowUnknownSize = false;
    std::int64_t maxDownloadBytes = std::int64_t{512} * 1024 * 1024;
};

enum class FtpFailure {
    None,
    Setting,      // a setting the session cannot use (no host, a line break in a name...)
    Connection,   // no session: cannot connect, log in or agree on TLS
    Folder,       // the remote folder cannot be entered
    RemoteFile,   // the file is not on the server
    Size,         // what arrived is not the whole file the server holds
    Transfer,     // the download broke off, or was slower than allowed
    Local,        // the file cannot be put in place here
    Busy,         // another update of the same file is running
    Interrupted,  // the caller asked to stop
    Rejected,     // the caller's DownloadCheck refused the file
};

// The outcome of one operation.
struct FtpResult {
    FtpFailure failure = FtpFailure::None;
    long reply = 0;      // the server's last reply code, 0 when none came
    std::string detail;  // why, in English, for stderr; never holds the password

    explicit operator bool() const { return failure == FtpFailure::None; }
};

// Bytes received so far and the size the server announced (-1 when unknown).
using FtpProgress = std::function<void(std::int64_t received, std::int64_t total)>;

// Sees every byte of a download as it reaches the disk, and decides, once the
// whole file is in and before it is installed, whether it may be.
class DownloadCheck {
public:
    virtual ~DownloadCheck() = default;
    virtual void consume(const char* data, std::size_t size) = 0;
    // Empty to install the file, else why not (English).
    virtual std::string verdict() = 0;
};

// How a download is installed beyond replacing the file. The file it
// replaces is always kept as `target` + ".prev".
struct Installation {
    DownloadCheck* check = nullptr;
    // Kept beside the installed file as `target` + ".minisig"; without one,
    // a signature left there from an earlier update is removed, since it
    // would speak for a file that is no longer there.
    std::optional<std::string> signature;
};

class FtpClient {
public:
    virtual ~FtpClient() = default;

    // The four settings, made before every OpenSession.
    virtual void setHostname(const std::string& host) = 0;
    virtual void setUsername(const std::string& user) = 0;
    virtual void setPassword(const std::string& password) = 0;
    virtual void setPassive(bool passive) = 0;

    // Asked again and again, every few milliseconds, while an operation waits
    // on the network; true abandons the operation, which then fails with
    // FtpFailure::Interrupted and ends the session.
    virtual void setInterruptCheck(std::function<bool()> interrupted) = 0;

    virtual FtpResult OpenSession() = 0;
    virtual FtpResult EnterRemoteFolder(const std::string& folder) = 0;
    // Downloads `remoteName` from the current folder and replaces `target`
    // (the installed file's real path) with it. `target` is untouched unless
    // the whole file arrived: as many bytes as the server says the file has,
    // before and after the transfer, and not one more. One update of a file
    // at a time: a second FetchFile of the same target, from any process,
    // fails with FtpFailure::Busy while one runs.
    //
    // With `how.check`, the file is installed only if the check approves it.
    virtual FtpResult FetchFile(const std::string& remoteName, const std::filesystem::path& target,
                                const FtpProgress& progress = {}, const Installation& how = {}) = 0;
    // Downloads a small file of the current folder into memory: at most
    // `maxBytes`, else FtpFailure::Size; a file the server lacks is
    // FtpFailure::RemoteFile.
    virtual FtpResult FetchText(const std::string& remoteName, std::size_t maxBytes, std::string& contents) = 0;
    virtual void CloseSession() = 0;
};

// The libcurl-backed session.
std::unique_ptr<FtpClient> makeCurlFtpClient(const FtpOptions& options);

}  // namespace adv::platform
