// The FTP session the update command drives: three settings, five operations.
// libcurl speaks the protocol; this is only the shape the caller relies on.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adv::platform {

enum class FtpTls { Off, Explicit, Implicit };

// How sure a download must be that it brought the whole file, beyond the
// size the server gives before and after it. The caller's choice, by what
// else vouches for its files; the strictest when it says nothing.
struct FtpDownloadPolicy {
    // A file whose size the server does not give is refused, since nothing
    // could tell a cut download from a whole one, unless the caller has some
    // other proof of the file; then at most maxDownloadBytes are taken.
    bool allowUnknownSize = false;
    // How long after it was first asked the server is asked again about the
    // file, once the transfer is over (waiting out what the transfer did not
    // take). SIZE and MDTM (in whole seconds) agree before and after a
    // transfer that falls between two writes of an upload still under way;
    // more than a second between the two lets the upload show.
    std::chrono::milliseconds recheckAfter{0};

    bool operator==(const FtpDownloadPolicy&) const = default;
};

// Connection details beyond the three settings. The program's come from its
// configuration's key table; the values here serve callers without one, and
// a test holds them to the table.
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
    std::int64_t maxDownloadBytes = std::int64_t{512} * 1024 * 1024;
    // The proxy both connections go through: a socks5://, socks5h:// or
    // (tunnelling) http:// URL; empty, none. The environment's proxy
    // variables (ftp_proxy, ALL_PROXY...) count only when asked for: a
    // variable set for other programs must not reroute the update.
    std::string proxy;
    bool proxyFromEnvironment = false;
    // Not the configuration's: the caller sets it for what it downloads.
    FtpDownloadPolicy download;

    bool operator==(const FtpOptions&) const = default;
};

enum class FtpFailure {
    None,
    Setting,      // a setting the session cannot use (no host, a line break in a name...)
    Connection,   // no session: cannot connect, log in or agree on TLS
    Folder,       // the remote folder cannot be entered
    RemoteFile,   // the file is not on the server
    Size,         // what arrived is not the whole file the server holds, or more than the sink takes
    Transfer,     // the download broke off, or was slower than allowed
    Sink,         // the caller's side (its sink or progress report) failed; detail says why
    Refused,      // the server refused to rename, delete or make a folder
    Mismatch,     // the server holds other bytes than were sent
    TlsRefused,   // the server does not agree to TLS (AUTH TLS refused)
    Untrusted,    // TLS refused the server's certificate: not trusted, or not for this name
    Interrupted,  // the caller asked to stop
    // the server would not send a file from where the sink's bytes end
    // (REST refused, or the file is now shorter): fetch it again from its start
    Resume,
    // the server refused a data connection's TLS: not, to its mind, the
    // control connection's session resumed
    DataTlsRefused,
};

// The outcome of one operation.
struct FtpResult {
    FtpFailure failure = FtpFailure::None;
    long reply = 0;           // the server's last reply code, 0 when none came
    std::string detail;       // why, in English; never holds the password
    std::string serverReply;  // the server's last reply line as it came (controls as '?'), or empty

    explicit operator bool() const { return failure == FtpFailure::None; }
};

// Bytes received so far (with those the sink held already) and the size the
// server gave, or for a sink that checks the file whole its capacity; -1 when
// unknown.
using FtpProgress = std::function<void(std::int64_t received, std::int64_t total)>;

// Where a download's bytes go, as they arrive.
class FtpSink {
public:
    virtual ~FtpSink() = default;
    // Success to go on; else FtpFailure::Sink and why the bytes cannot be taken.
    virtual FtpResult take(const char* data, std::size_t size) = 0;
    // The most bytes it takes: more is FtpFailure::Size.
    virtual std::int64_t capacity() const { return INT64_MAX; }
    // Whether the caller will check what arrives against a size and hash it
    // already trusts: then a cut or half-uploaded file cannot pass anyway,
    // and the session neither waits to ask about the file again nor needs
    // the server to give its size.
    virtual bool checksWhole() const { return false; }
    // The bytes of the file the sink holds from an earlier fetch that broke
    // off: only the rest is asked for (REST) and taken. Only a sink that
    // checks the file whole may hold any: nothing else could tell the two
    // halves of a file that changed in between.
    virtual std::int64_t heldAlready() const { return 0; }
};

// A small file, in memory.
class MemorySink final : public FtpSink {
public:
    explicit MemorySink(std::size_t capacity) : capacity_(capacity) {}
    FtpResult take(const char* data, std::size_t size) override
    {
        contents_.append(data, size);
        return {};
    }
    std::int64_t capacity() const override { return static_cast<std::int64_t>(capacity_); }
    const std::string& contents() const { return contents_; }

private:
    std::size_t capacity_;
    std::string contents_;
};

class FtpClient {
public:
    virtual ~FtpClient() = default;

    // The three settings, made before every OpenSession. The data
    // connection is always the client's to open (passive): an active one
    // would need the server to reach back through the operator's firewall.
    virtual void setHostname(const std::string& host) = 0;
    virtual void setUsername(const std::string& user) = 0;
    virtual void setPassword(const std::string& password) = 0;

    // Asked again and again, every few milliseconds, while an operation waits
    // on the network; true abandons the operation, which then fails with
    // FtpFailure::Interrupted and ends the session.
    virtual void setInterruptCheck(std::function<bool()> interrupted) = 0;

    virtual FtpResult OpenSession() = 0;
    virtual FtpResult EnterRemoteFolder(const std::string& folder) = 0;
    // Streams `remoteName` of the current folder into `sink`. It succeeds
    // only when the whole file arrived: as many bytes as the server gives as
    // its size before and after the transfer (asked again as the download
    // policy says), and not one more, at no less than the rate floor. Where
    // the server gives no size, only as the policy allows, and at most
    // maxDownloadBytes. A sink that checks what arrives itself needs neither:
    // the file is only retrieved, bounded by the sink's capacity, and from
    // where the bytes it holds end; a server that will not send from there
    // is FtpFailure::Resume.
    // A name that is empty, holds a '/' or a line break, or starts with '*'
    // is no file of the folder: FtpFailure::Setting, and nothing is sent.
    virtual FtpResult FetchFile(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress = {}) = 0;
    // SIZE and MDTM: when the server last changed `remoteName`, in seconds
    // since 1970 by the server's own clock, and its size; what the server
    // does not give stays empty. Nothing is transferred. A file the server
    // does not have is FtpFailure::RemoteFile.
    struct Facts {
        std::optional<std::int64_t> modified;
        std::optional<std::int64_t> size;
    };
    virtual FtpResult AskAbout(const std::string& remoteName, Facts& facts) = 0;
    // A small file of the caller's, `bytes`, made `name` in `folder` (one
    // folder below the current one; empty: the current one) over the open
    // session: stored whole under a name no reader takes (".<name>.part"),
    // then renamed onto `name` (STOR, RNFR, RNTO; on a server that will not
    // rename onto a name in use, DELE and the rename again). Names as
    // FetchFile's; a folder holding "..", a '/' or a line break is
    // FtpFailure::Setting, and nothing is sent.
    virtual FtpResult PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes) = 0;
    virtual void CloseSession() = 0;
};

// The maker's side of the server, for publishing: writing, besides reading.
// Names are of the current folder, as FetchFile's.
class FtpPublishSession : public FtpClient {
public:
    // STOR: `bytes` become `remoteName`, at no less than the rate floor.
    virtual FtpResult PutFile(const std::string& remoteName, std::string_view bytes,
                              const FtpProgress& progress = {}) = 0;
    // The other half of a checked store: what the server keeps as
    // `remoteName` after PutFile, read back whole (as FetchFile has it) and
    // compared with what was sent; other bytes are FtpFailure::Mismatch. A
    // server may say it stored a file and keep another.
    FtpResult ReadBack(const std::string& remoteName, std::string_view sent)
    {
        // Compared as it arrives: a big release is not held a second time.
        class Comparing final : public FtpSink {
        public:
            explicit Comparing(std::string_view sent) : sent_(sent) {}
            FtpResult take(const char* data, std::size_t size) override
            {
                same_ = same_ && sent_.substr(got_, size) == std::string_view(data, size);
                got_ += size;
                return {};
            }
            std::int64_t capacity() const override { return static_cast<std::int64_t>(sent_.size()); }
            std::size_t got() const { return got_; }
            bool same() const { return same_ && got_ == sent_.size(); }

        private:
            std::string_view sent_;
            std::size_t got_ = 0;
            bool same_ = true;
        } back(sent);
        if (FtpResult read = FetchFile(remoteName, back); !read)
            return read;
        if (back.same())
            return {};
        return {FtpFailure::Mismatch,
                0,
                "'" + remoteName + "' read back from the server is not what was sent (" + std::to_string(back.got()) +
                    " bytes, " + std::to_string(sent.size()) + " sent)",
                {}};
    }
    // RNFR and RNTO; a server may refuse a name that exists.
    virtual FtpResult Rename(const std::string& from, const std::string& to) = 0;
    // DELE.
    virtual FtpResult Delete(const std::string& remoteName) = 0;
    // MKD of a folder in the current one (one that exists is refused), and
    // RMD of an empty one.
    virtual FtpResult MakeFolder(const std::string& name) = 0;
    virtual FtpResult RemoveFolder(const std::string& name) = 0;
    // NLST: the current folder's names, one a line, into `sink`.
    virtual FtpResult FetchListing(FtpSink& sink) = 0;
    // The files of `folder` (one below the current one; empty: the current
    // one) with what the server says of each, over one data connection:
    // MLSD where the server has it, else LIST. `stamp` is the server's own
    // words for when the file last changed, exact to the second with MLSD,
    // to the minute or the day with LIST: compared, never read; `modified`
    // only where the server gave a time to the second. Folders and links
    // are left out. More than maxEntries files is FtpFailure::Size.
    struct Listed {
        std::string name;
        std::optional<std::int64_t> size;
        std::string stamp;
        std::optional<std::int64_t> modified;
        bool operator==(const Listed&) const = default;
    };
    virtual FtpResult ListFacts(const std::string& folder, std::vector<Listed>& entries,
                                std::size_t maxEntries = 1'000'000) = 0;
};

// The libcurl-backed session.
std::unique_ptr<FtpClient> makeCurlFtpClient(const FtpOptions& options);
std::unique_ptr<FtpPublishSession> makeCurlFtpPublishSession(const FtpOptions& options);

}  // namespace adv::platform
