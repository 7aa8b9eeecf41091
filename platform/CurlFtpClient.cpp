// The FTP session over libcurl. libcurl speaks the protocol; this file keeps
// one easy handle per session (so the control connection opened by
// OpenSession carries the folder change and the download), decides when a
// download is the whole file, and streams it into the caller's sink.
//
// The handle is driven through a multi handle of our own rather than
// curl_easy_perform, for two reasons: the caller's interrupt check runs
// between two short polls, and libcurl 7.88 sometimes sits out a whole second
// of its own poll between the passive-mode reply and connecting the data
// channel on a reused control connection, which a short poll slice avoids.
#include "platform/FtpClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CurlHolder.h"
#include "platform/RateFloor.h"

namespace adv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait for socket activity while a request runs.
constexpr int kPollSliceMs = 2;

bool holdsLineBreak(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool isValidHost(const std::string& host)
{
    if (host.empty())
        return false;
    for (const char c : host) {
        if (c == '/' || c == '@' || c == '?' || c == '#' || c == '\\' || static_cast<unsigned char>(c) <= ' ')
            return false;
    }
    return true;
}

FtpResult failure(FtpFailure kind, std::string detail, long reply = 0)
{
    return {kind, reply, std::move(detail), {}};
}

std::string tooLarge(std::int64_t limit, std::int64_t capacity)
{
    return "the file is larger than the " + std::to_string(limit) +
           (limit < capacity ? " bytes allowed (max_download_mb)" : " bytes allowed");
}

// What the server says about a file without sending it.
struct RemoteFile {
    std::int64_t size = -1;   // -1: not given
    std::int64_t mtime = -1;  // -1: not given
};

class CurlFtpClient final : public FtpPublishSession {
public:
    explicit CurlFtpClient(const FtpOptions& options) : options_(options) {}
    ~CurlFtpClient() override { CloseSession(); }
    CurlFtpClient(const CurlFtpClient&) = delete;
    CurlFtpClient& operator=(const CurlFtpClient&) = delete;

    void setHostname(const std::string& host) override { host_ = host; }
    void setUsername(const std::string& user) override { user_ = user; }
    void setPassword(const std::string& password) override { password_ = password; }
    void setPassive(bool passive) override { passive_ = passive; }
    void setInterruptCheck(std::function<bool()> interrupted) override { interrupted_ = std::move(interrupted); }

    FtpResult OpenSession() override;
    FtpResult EnterRemoteFolder(const std::string& folder) override;
    FtpResult FetchFile(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress) override;
    void CloseSession() override;

    FtpResult PutFile(const std::string& remoteName, std::string_view bytes, const FtpProgress& progress) override;
    FtpResult Rename(const std::string& from, const std::string& to) override;
    FtpResult Delete(const std::string& remoteName) override;
    FtpResult MakeFolder(const std::string& name) override;
    FtpResult RemoveFolder(const std::string& name) override;
    FtpResult FetchListing(FtpSink& sink) override;

private:
    // What one transfer needs inside libcurl's callbacks: a download goes
    // to its sink, an upload comes from its source.
    struct Transfer {
        FtpSink* sink = nullptr;
        std::string_view source;
        const FtpProgress* progress = nullptr;
        std::int64_t announced = -1;
        std::int64_t limit = 0;     // more than this many bytes is an error
        std::int64_t received = 0;  // or sent
        std::int64_t lastReported = -1;
        RateFloor rate;
        std::optional<FtpResult> abort;  // why a callback stopped the transfer
    };

    static size_t onData(char* data, size_t size, size_t count, void* self);
    static size_t onRead(char* buffer, size_t size, size_t count, void* self);
    static size_t onReply(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    bool configureHandle();
    std::string baseUrl() const;
    // The URL of a file of the current folder, or empty when the name is not one.
    std::string fileUrl(const std::string& remoteName) const;
    std::chrono::seconds stallWindow() const;
    // RETR of `url` into `transfer`'s sink.
    FtpResult retrieve(const std::string& url, const std::string& remoteName, Transfer& transfer);
    // Runs the request set up on the handle; `kind` is the failure to report
    // when libcurl fails it.
    FtpResult perform(FtpFailure kind, const std::string& what);
    FtpResult askAbout(const std::string& url, const std::string& name, RemoteFile& answer);
    // Commands sent in the current folder, one after the other, with nothing
    // transferred; the first the server refuses ends them.
    FtpResult command(const std::vector<std::string>& lines, const std::string& what);
    // Waits, answering the interrupt check.
    FtpResult waitUntil(Clock::time_point until, const std::string& remoteName);
    // Every result that carries libcurl's or the server's words leaves
    // through here: a text that holds the password is dropped whole rather
    // than patched.
    FtpResult finish(FtpResult result) const;

    FtpOptions options_;
    std::string host_;
    std::string user_;
    std::string password_;
    bool passive_ = true;
    std::function<bool()> interrupted_;

    std::unique_ptr<CurlHolder> curl_;
    std::string folderPath_;  // escaped, each component followed by '/'
    std::string lastReplyLine_;
    Transfer* transfer_ = nullptr;  // set only while a file or a listing moves
};

FtpResult CurlFtpClient::finish(FtpResult result) const
{
    if (result.failure != FtpFailure::None && result.failure != FtpFailure::Interrupted)
        result.serverReply = lastReplyLine_;
    if (!password_.empty() && result.detail.find(password_) != std::string::npos)
        result.detail = "(the reason is not shown: it contains the configured password)";
    if (!password_.empty() && result.serverReply.find(password_) != std::string::npos)
        result.serverReply = "(not shown: it contains the configured password)";
    return result;
}

std::string CurlFtpClient::baseUrl() const
{
    const char* scheme = options_.tls == FtpTls::Implicit ? "ftps://" : "ftp://";
    const bool ipv6Literal = host_.find(':') != std::string::npos && host_.front() != '[';
    const std::string host = ipv6Literal ? "[" + host_ + "]" : host_;
    return scheme + host + ":" + std::to_string(options_.port) + "/";
}

bool CurlFtpClient::configureHandle()
{
    CURL* c = curl_->easy();
    // A caller that gives no time gets the default, never libcurl's own.
    const auto connectTimeout = static_cast<long>(
        (options_.connectTimeout.count() > 0 ? options_.connectTimeout : FtpOptions{}.connectTimeout).count());

    bool ok = curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "ftp,ftps") == CURLE_OK;
    // Credentials go in their own options, never into the URL, so they
    // cannot leak through libcurl's messages about the URL.
    ok = ok && curl_easy_setopt(c, CURLOPT_USERNAME, user_.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_PASSWORD, password_.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, connectTimeout) == CURLE_OK;
    // Also bounds the wait for the greeting: a server that accepts the
    // connection and never speaks must not hang the update.
    ok = ok && curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, connectTimeout) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_BUFFERSIZE, 100L * 1024L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_FTP_USE_EPSV, options_.useEpsv ? 1L : 0L) == CURLE_OK;
    if (options_.tls == FtpTls::Explicit)
        ok = ok && curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    // No ca_file: the system's trust. Where libcurl's TLS has no store of
    // its own to fall back on (OpenSSL on Windows) it is told to load
    // Windows' root store; elsewhere libcurl has no use for the flag.
    if (!options_.caFile.empty())
        ok = ok && curl_easy_setopt(c, CURLOPT_CAINFO, options_.caFile.c_str()) == CURLE_OK;
    else
        ok = ok && curl_easy_setopt(c, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA)) == CURLE_OK;
    if (!options_.proxyFromEnvironment) {
        // Set, even empty: libcurl then reads no proxy variable. NO_PROXY it
        // reads whatever the proxy, and would send the session past the one
        // configured: the list is set too, empty.
        ok = ok && curl_easy_setopt(c, CURLOPT_PROXY, options_.proxy.c_str()) == CURLE_OK;
        ok = ok && curl_easy_setopt(c, CURLOPT_NOPROXY, "") == CURLE_OK;
        if (options_.proxy.starts_with("http://"))
            ok = ok && curl_easy_setopt(c, CURLOPT_HTTPPROXYTUNNEL, 1L) == CURLE_OK;
    }
    ok = ok && curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlFtpClient::onData) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlFtpClient::onReply) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_HEADERDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlFtpClient::onProgress) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFODATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L) == CURLE_OK;
    return ok;
}

FtpResult CurlFtpClient::perform(FtpFailure kind, const std::string& what)
{
    CURLM* multi = curl_->multi();
    CURL* easy = curl_->easy();
    curl_->clearError();
    lastReplyLine_.clear();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        return finish(failure(FtpFailure::Setting, what + ": cannot start the request (libcurl)"));

    std::optional<CURLcode> result;
    bool interrupted = false;
    while (!result) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        int queued = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy)
                result = message->data.result;
        }
        if (result || running == 0)
            break;
        if (interrupted_ && interrupted_()) {
            interrupted = true;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, kPollSliceMs, nullptr) != CURLM_OK)
            break;
    }
    curl_multi_remove_handle(multi, easy);

    long reply = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply);
    if (interrupted) {
        // The control connection is somewhere inside a command: it cannot
        // carry another one.
        CloseSession();
        return finish(failure(FtpFailure::Interrupted, what + ": interrupted", reply));
    }
    if (result && *result == CURLE_OK)
        return {};

    if (transfer_ != nullptr && transfer_->abort) {
        FtpResult why = *transfer_->abort;
        why.detail = what + ": " + why.detail;
        why.reply = reply;
        return finish(why);
    }
    const CURLcode code = result.value_or(CURLE_FAILED_INIT);
    // libcurl reports a 421 at any step as its own time-out; it is the
    // server closing the session, and says why in its reply.
    if (lastReplyLine_.rfind("421", 0) == 0)
        return finish(failure(kind, what + ": the server closed the session: " + lastReplyLine_, 421));
    std::string detail = what + ": " + curl_easy_strerror(code);
    const std::string extra = curl_->errorText();
    if (!extra.empty() && detail.find(extra) == std::string::npos)
        detail += " (" + extra + ")";
    if (code == CURLE_REMOTE_FILE_NOT_FOUND && kind == FtpFailure::Transfer)
        kind = FtpFailure::RemoteFile;
    // Only the server's own "no" to a command is a refusal: a session lost on
    // the way says nothing about the name, and a refusal makes the publisher
    // delete the name in use.
    if (code == CURLE_QUOTE_ERROR && kind == FtpFailure::Connection)
        kind = FtpFailure::Refused;
    // TLS saying no is no connection trouble: trying again will not help,
    // and IT must look at tls or ca_file.
    if (code == CURLE_USE_SSL_FAILED || code == CURLE_SSL_CIPHER)
        kind = FtpFailure::TlsRefused;
    for (const CURLcode untrusted :
         {CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE, CURLE_SSL_CERTPROBLEM, CURLE_SSL_ISSUER_ERROR,
          CURLE_SSL_PINNEDPUBKEYNOTMATCH, CURLE_SSL_INVALIDCERTSTATUS, CURLE_SSL_CRL_BADFILE}) {
        if (code == untrusted)
            kind = FtpFailure::Untrusted;
    }
    return finish(failure(kind, detail, reply));
}

FtpResult CurlFtpClient::OpenSession()
{
    // Every open starts from fresh handles with the settings as they are
    // now; dropping the old ones ends any session still open on them.
    CloseSession();
    if (!isValidHost(host_))
        return failure(FtpFailure::Setting, "no valid FTP host name is configured");
    if (holdsLineBreak(user_) || holdsLineBreak(password_) || holdsLineBreak(options_.caFile))
        return failure(FtpFailure::Setting,
                       "an FTP setting holds a line break; it would reach the server as a command");
    if (options_.port < 1 || options_.port > 65535)
        return failure(FtpFailure::Setting, "FTP port " + std::to_string(options_.port) + " is out of range");
    // The data connection is always the client's to open: an active one
    // would need the server to reach back through the operator's firewall.
    if (!passive_)
        return failure(FtpFailure::Setting, "only passive FTP (EPSV or PASV) is supported");

    curl_ = std::make_unique<CurlHolder>();
    if (!*curl_ || !configureHandle()) {
        CloseSession();
        return failure(FtpFailure::Setting, "cannot set up the FTP connection (libcurl)");
    }
    // Logging in without transferring anything: the connection stays in the
    // multi handle and the next requests reuse it.
    const std::string url = baseUrl();
    curl_easy_setopt(curl_->easy(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_->easy(), CURLOPT_NOBODY, 1L);
    FtpResult opened =
        perform(FtpFailure::Connection, "cannot open a session with " + host_ + ":" + std::to_string(options_.port));
    if (!opened)
        CloseSession();
    return opened;
}

FtpResult CurlFtpClient::EnterRemoteFolder(const std::string& folder)
{
    if (!curl_)
        return failure(FtpFailure::Setting, "no FTP session is open");
    if (holdsLineBreak(folder))
        return failure(FtpFailure::Setting, "the remote folder's name holds a line break");

    // Relative to the login folder: empty components (leading, doubled or
    // trailing slashes) are dropped, each name is escaped on its own.
    std::string path;
    std::string_view rest(folder);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (!part.empty())
            path += curl_->escape(part) + "/";
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    }

    const std::string url = baseUrl() + path;
    curl_easy_setopt(curl_->easy(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_->easy(), CURLOPT_NOBODY, 1L);
    FtpResult entered = perform(FtpFailure::Folder, "cannot enter the remote folder '" + folder + "'");
    if (entered)
        folderPath_ = path;
    return entered;
}

FtpResult CurlFtpClient::askAbout(const std::string& url, const std::string& name, RemoteFile& answer)
{
    // SIZE and MDTM, without a transfer. A file the server does not have
    // fails MDTM, so this also tells whether it is there.
    CURL* c = curl_->easy();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_FILETIME, 1L);
    FtpResult asked = perform(FtpFailure::Transfer, "cannot ask the server about '" + name + "'");
    curl_easy_setopt(c, CURLOPT_FILETIME, 0L);
    if (!asked)
        return asked;
    curl_off_t size = -1;
    curl_off_t mtime = -1;
    curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    curl_easy_getinfo(c, CURLINFO_FILETIME_T, &mtime);
    answer.size = size >= 0 ? static_cast<std::int64_t>(size) : -1;
    answer.mtime = mtime >= 0 ? static_cast<std::int64_t>(mtime) : -1;
    return {};
}

size_t CurlFtpClient::onReply(char* data, size_t size, size_t count, void* self)
{
    // libcurl hands over each line the server answers, and a few lines of
    // its own making ("Content-Length: ..."); only a reply starts with its code.
    const std::string_view line(data, size * count);
    if (line.size() >= 3 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' &&
        line[2] <= '9') {
        std::string& last = static_cast<CurlFtpClient*>(self)->lastReplyLine_;
        last.clear();
        for (const char c : line.substr(0, 200)) {
            if (c == '\r' || c == '\n')
                break;
            last += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
        }
    }
    return size * count;
}

size_t CurlFtpClient::onData(char* data, size_t size, size_t count, void* self)
{
    Transfer* transfer = static_cast<CurlFtpClient*>(self)->transfer_;
    const size_t bytes = size * count;
    // Outside a download only libcurl's own lines come here: the size and
    // time it learnt, written as headers to both callbacks.
    if (transfer == nullptr || transfer->sink == nullptr)
        return bytes;
    const auto length = static_cast<std::int64_t>(bytes);
    // An endless or overlong stream stops here, before it reaches the sink.
    if (transfer->received + length > transfer->limit) {
        transfer->abort =
            failure(FtpFailure::Size, transfer->announced >= 0
                                          ? "the server sent more than the " + std::to_string(transfer->announced) +
                                                " bytes it gives as the file's size"
                                          : tooLarge(transfer->limit, transfer->sink->capacity()));
        return 0;
    }
    if (FtpResult refused = transfer->sink->take(data, bytes); !refused) {
        transfer->abort = std::move(refused);
        return 0;
    }
    transfer->received += length;
    return bytes;
}

size_t CurlFtpClient::onRead(char* buffer, size_t size, size_t count, void* self)
{
    Transfer* transfer = static_cast<CurlFtpClient*>(self)->transfer_;
    if (transfer == nullptr)
        return 0;
    const auto sent = static_cast<std::size_t>(transfer->received);
    const std::size_t length = std::min(size * count, transfer->source.size() - sent);
    std::memcpy(buffer, transfer->source.data() + sent, length);
    transfer->received += static_cast<std::int64_t>(length);
    return length;
}

int CurlFtpClient::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* session = static_cast<CurlFtpClient*>(self);
    Transfer* transfer = session->transfer_;
    if (transfer == nullptr)
        return 0;

    if (!transfer->rate.keepsUp(Clock::now(), transfer->received)) {
        transfer->abort = failure(FtpFailure::Transfer,
                                  "the transfer was slower than " + std::to_string(session->options_.minRateBps) +
                                      " bytes/s for " + std::to_string(session->options_.stallTimeout.count()) + " s");
        return 1;
    }
    if (transfer->received != transfer->lastReported) {
        transfer->lastReported = transfer->received;
        if (transfer->progress != nullptr && *transfer->progress) {
            try {
                (*transfer->progress)(transfer->received, transfer->announced);
            } catch (const std::exception& e) {
                transfer->abort = failure(FtpFailure::Sink, std::string("the progress report failed: ") + e.what());
                return 1;
            } catch (...) {
                transfer->abort = failure(FtpFailure::Sink, "the progress report failed");
                return 1;
            }
        }
    }
    return 0;
}

std::chrono::seconds CurlFtpClient::stallWindow() const
{
    return options_.stallTimeout > std::chrono::seconds::zero() ? options_.stallTimeout : FtpOptions{}.stallTimeout;
}

FtpResult CurlFtpClient::retrieve(const std::string& url, const std::string& remoteName, Transfer& transfer)
{
    // libcurl reads the data connection to its end whatever size it sees;
    // the callbacks judge and bound what arrives.
    CURL* c = curl_->easy();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    transfer_ = &transfer;
    FtpResult downloaded = perform(FtpFailure::Transfer, "cannot download '" + remoteName + "'");
    transfer_ = nullptr;
    if (curl_) {
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
        curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
    }
    return downloaded;
}

std::string CurlFtpClient::fileUrl(const std::string& remoteName) const
{
    if (remoteName.empty() || remoteName.find('/') != std::string::npos || holdsLineBreak(remoteName))
        return {};
    return baseUrl() + folderPath_ + curl_->escape(remoteName);
}

FtpResult CurlFtpClient::FetchFile(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress)
{
    if (!curl_)
        return failure(FtpFailure::Setting, "no FTP session is open");
    const std::string url = fileUrl(remoteName);
    if (url.empty())
        return failure(FtpFailure::Setting, "invalid remote file name '" + remoteName + "'");

    // The size the server gives is asked before and after the transfer and
    // compared with what arrived: libcurl is told to ignore the sizes it
    // sees, so that it reads the data connection to its end rather than stop
    // where a lying or outdated number says.
    RemoteFile before;
    if (FtpResult asked = askAbout(url, remoteName, before); !asked)
        return asked;
    const Clock::time_point recheck = Clock::now() + (sink.checksWhole() ? Clock::duration{} : options_.recheckAfter);
    if (before.size < 0 && !options_.allowUnknownSize && !sink.checksWhole())
        return finish(failure(FtpFailure::Size, "the server does not give the size of '" + remoteName +
                                                    "', so a cut download could not be told from a whole one"));
    const std::int64_t capacity = sink.capacity();
    if (before.size > capacity)
        return failure(FtpFailure::Size, "cannot download '" + remoteName + "': " + tooLarge(capacity, capacity));

    Transfer transfer{.sink = &sink,
                      .source = {},
                      .progress = &progress,
                      .announced = before.size,
                      .limit = before.size >= 0 ? before.size : std::min(options_.maxDownloadBytes, capacity),
                      .rate = RateFloor(stallWindow(), options_.minRateBps),
                      .abort = std::nullopt};
    FtpResult downloaded = retrieve(url, remoteName, transfer);
    if (!downloaded)
        return downloaded;

    if (transfer.received == 0)
        return failure(FtpFailure::Size, "cannot download '" + remoteName + "': the server sent an empty file");
    if (before.size >= 0 && transfer.received != before.size)
        return failure(FtpFailure::Size, "cannot download '" + remoteName + "': received " +
                                             std::to_string(transfer.received) + " of " + std::to_string(before.size) +
                                             " bytes");
    if (FtpResult waited = waitUntil(recheck, remoteName); !waited)
        return waited;
    RemoteFile after;
    if (FtpResult asked = askAbout(url, remoteName, after); !asked)
        return asked;
    if (after.size != before.size || after.mtime != before.mtime)
        return failure(FtpFailure::Size, "'" + remoteName + "' changed on the server during the download (" +
                                             std::to_string(before.size) + " bytes before, " +
                                             std::to_string(after.size) +
                                             " after): it may still be uploading; try again later");
    return {};
}

FtpResult CurlFtpClient::PutFile(const std::string& remoteName, std::string_view bytes, const FtpProgress& progress)
{
    if (!curl_)
        return failure(FtpFailure::Setting, "no FTP session is open");
    const std::string url = fileUrl(remoteName);
    if (url.empty())
        return failure(FtpFailure::Setting, "invalid remote file name '" + remoteName + "'");
    const auto size = static_cast<std::int64_t>(bytes.size());
    Transfer transfer{.sink = nullptr,
                      .source = bytes,
                      .progress = &progress,
                      .announced = size,
                      .limit = size,
                      .rate = RateFloor(stallWindow(), options_.minRateBps),
                      .abort = std::nullopt};
    CURL* c = curl_->easy();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &CurlFtpClient::onRead);
    curl_easy_setopt(c, CURLOPT_READDATA, this);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    transfer_ = &transfer;
    FtpResult put = perform(FtpFailure::Transfer, "cannot upload '" + remoteName + "'");
    transfer_ = nullptr;
    if (curl_) {
        curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
    }
    if (put && transfer.received != size)
        return failure(FtpFailure::Size, "cannot upload '" + remoteName + "': sent " +
                                             std::to_string(transfer.received) + " of " + std::to_string(size) +
                                             " bytes");
    return put;
}

FtpResult CurlFtpClient::command(const std::vector<std::string>& lines, const std::string& what)
{
    if (!curl_)
        return failure(FtpFailure::Setting, "no FTP session is open");
    // libcurl takes a leading '*' as "ignore a refusal": no name may start so.
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> list(nullptr, &curl_slist_free_all);
    for (const std::string& line : lines) {
        curl_slist* longer = curl_slist_append(list.get(), line.c_str());
        if (longer == nullptr)
            return failure(FtpFailure::Setting, what + ": out of memory");
        (void)list.release();
        list.reset(longer);
    }
    CURL* c = curl_->easy();
    const std::string url = baseUrl() + folderPath_;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(c, CURLOPT_POSTQUOTE, list.get());
    FtpResult done = perform(FtpFailure::Connection, what);
    if (curl_)
        curl_easy_setopt(c, CURLOPT_POSTQUOTE, nullptr);
    return done;
}

FtpResult CurlFtpClient::Rename(const std::string& from, const std::string& to)
{
    if (fileUrl(from).empty() || fileUrl(to).empty() || from.front() == '*')
        return failure(FtpFailure::Setting, "invalid remote file name '" + from + "' or '" + to + "'");
    return command({"RNFR " + from, "RNTO " + to}, "cannot rename '" + from + "' to '" + to + "'");
}

FtpResult CurlFtpClient::Delete(const std::string& remoteName)
{
    if (fileUrl(remoteName).empty() || remoteName.front() == '*')
        return failure(FtpFailure::Setting, "invalid remote file name '" + remoteName + "'");
    return command({"DELE " + remoteName}, "cannot delete '" + remoteName + "'");
}

FtpResult CurlFtpClient::MakeFolder(const std::string& name)
{
    if (fileUrl(name).empty() || name.front() == '*')
        return failure(FtpFailure::Setting, "invalid remote folder name '" + name + "'");
    return command({"MKD " + name}, "cannot make the folder '" + name + "'");
}

FtpResult CurlFtpClient::RemoveFolder(const std::string& name)
{
    if (fileUrl(name).empty() || name.front() == '*')
        return failure(FtpFailure::Setting, "invalid remote folder name '" + name + "'");
    return command({"RMD " + name}, "cannot remove the folder '" + name + "'");
}

FtpResult CurlFtpClient::FetchListing(FtpSink& sink)
{
    if (!curl_)
        return failure(FtpFailure::Setting, "no FTP session is open");
    static const FtpProgress none;
    Transfer transfer{.sink = &sink,
                      .source = {},
                      .progress = &none,
                      .announced = -1,
                      .limit = std::min(options_.maxDownloadBytes, sink.capacity()),
                      .rate = RateFloor(stallWindow(), options_.minRateBps),
                      .abort = std::nullopt};
    curl_easy_setopt(curl_->easy(), CURLOPT_DIRLISTONLY, 1L);
    FtpResult listed = retrieve(baseUrl() + folderPath_, "the folder's names", transfer);
    if (curl_)
        curl_easy_setopt(curl_->easy(), CURLOPT_DIRLISTONLY, 0L);
    return listed;
}

FtpResult CurlFtpClient::waitUntil(Clock::time_point until, const std::string& remoteName)
{
    while (Clock::now() < until) {
        if (interrupted_ && interrupted_()) {
            CloseSession();
            return failure(FtpFailure::Interrupted, "cannot download '" + remoteName + "': interrupted");
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(10)));
    }
    return {};
}

void CurlFtpClient::CloseSession()
{
    // The connection lives in the multi handle, which says goodbye (QUIT)
    // when it goes; there is nothing to report either way.
    curl_.reset();
    folderPath_.clear();
}

}  // namespace

std::unique_ptr<FtpClient> makeCurlFtpClient(const FtpOptions& options)
{
    return std::make_unique<CurlFtpClient>(options);
}

std::unique_ptr<FtpPublishSession> makeCurlFtpPublishSession(const FtpOptions& options)
{
    return std::make_unique<CurlFtpClient>(options);
}

}  // namespace adv::platform
