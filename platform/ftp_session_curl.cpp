// The FTP session over libcurl. libcurl speaks the protocol; this file only
// keeps one easy handle per session (so the control connection opened by
// OpenSession carries the folder change and the download), maps results to
// true/false plus an English reason, and replaces the target file safely.
//
// The handle is driven through a multi handle of our own rather than
// curl_easy_perform: libcurl 7.88 sometimes sits out a whole second of its
// poll between the passive-mode reply and connecting the data channel on a
// reused control connection, and a short poll slice of ours avoids that.
//
// libcurl itself is loaded by the first OpenSession (see curl_api.h), not
// when a session object is made.
#include "platform/FtpSession.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QString>
#include <QtGlobal>

#include <array>
#include <chrono>
#include <exception>
#include <string_view>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/curl_api.h"

namespace adv::platform {
namespace {

using namespace Qt::StringLiterals;

// A handle exists only once libcurl is loaded, so its deleter needs no
// check of its own.
struct CurlEasyDeleter {
    const CurlApi* api = nullptr;
    void operator()(CURL* handle) const noexcept { api->easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

// The multi handle keeps the session's connection between requests;
// destroying it ends the session (QUIT on a healthy control connection,
// waiting no longer than the last request's reply time-out; a broken one is
// just closed).
struct CurlMultiDeleter {
    const CurlApi* api = nullptr;
    void operator()(CURLM* handle) const noexcept { api->multi_cleanup(handle); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

// Longest single wait for socket activity while a request runs.
constexpr int kPollSliceMs = 2;

std::string toStd(const QString& text)
{
    return text.toStdString();
}

// Ownership and exact mode bits of the installed file go to its replacement.
// QSaveFile copies only Qt's rwx flags, and copies them through the current
// user's view of the file; the owner of an installed program must not become
// whoever ran the update either.
void carryOverOwnerAndMode(int fd, const QString& installed)
{
#ifdef Q_OS_UNIX
    struct stat st {};
    if (fd < 0 || ::stat(QFile::encodeName(installed).constData(), &st) != 0)
        return;
    // Fails without privileges unless nothing changes; the mode still applies.
    (void)::fchown(fd, st.st_uid, st.st_gid);
    (void)::fchmod(fd, st.st_mode & 07777);
#else
    (void)fd;
    (void)installed;
#endif
}

// QSaveFile syncs the file's data before renaming it, but not the folder
// holding the new name: without this a crash right after the update could
// bring back the old directory entry.
void syncFolder(const QString& folder)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
#else
    (void)folder;
#endif
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

class CurlFtpSession final : public FtpClient {
public:
    explicit CurlFtpSession(const FtpOptions& options) : options_(options) {}
    ~CurlFtpSession() override { CloseSession(); }
    CurlFtpSession(const CurlFtpSession&) = delete;
    CurlFtpSession& operator=(const CurlFtpSession&) = delete;

    void setHostname(const std::string& host) override { host_ = host; }
    void setUsername(const std::string& user) override { user_ = user; }
    void setPassword(const std::string& password) override { password_ = password; }
    void setPassive(bool passive) override { passive_ = passive; }

    bool OpenSession() override;
    bool EnterRemoteFolder(const std::string& folder) override;
    bool FetchFile(const std::string& remoteName, const std::filesystem::path& target,
                   const FtpProgress& progress) override;
    void CloseSession() override;

    std::string errorText() const override { return error_; }

private:
    // What one download needs inside libcurl's callbacks.
    struct Transfer {
        QSaveFile* file = nullptr;
        const FtpProgress* progress = nullptr;
        std::int64_t received = 0;
        std::int64_t lastReported = -1;
        std::chrono::steady_clock::time_point lastMove{};
        std::string abortReason;
    };

    static size_t onData(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t, curl_off_t);

    bool configureHandle();
    CURLcode run();
    std::string baseUrl() const;
    std::string escape(std::string_view text) const;
    // Runs the request set up on the handle; false with errorText set.
    bool perform(const std::string& what);
    bool fail(const std::string& message);

    FtpOptions options_;
    std::string host_;
    std::string user_;
    std::string password_;
    bool passive_ = true;

    const CurlApi* api_ = nullptr;  // set by the first OpenSession that gets libcurl
    CurlMulti multi_;  // declared first: outlives the easy handle
    CurlEasy curl_;
    std::string folderPath_;  // escaped, each component followed by '/'
    std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
    long lastReply_ = 0;
    Transfer* transfer_ = nullptr;  // set only while FetchFile runs
    std::string error_;
};

bool CurlFtpSession::fail(const std::string& message)
{
    error_ = message;
    // The password never reaches libcurl's texts through the URL, but a
    // server may echo anything; the reason is for logs, so scrub it anyway.
    if (!password_.empty()) {
        for (auto at = error_.find(password_); at != std::string::npos; at = error_.find(password_, at + 3))
            error_.replace(at, password_.size(), "***");
    }
    return false;
}

std::string CurlFtpSession::escape(std::string_view text) const
{
    char* escaped = api_->easy_escape(curl_.get(), text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr)
        return {};
    std::string result(escaped);
    api_->free(escaped);
    return result;
}

std::string CurlFtpSession::baseUrl() const
{
    const char* scheme = options_.tls == FtpTls::Implicit ? "ftps://" : "ftp://";
    const bool ipv6Literal = host_.find(':') != std::string::npos && host_.front() != '[';
    const std::string host = ipv6Literal ? "[" + host_ + "]" : host_;
    return scheme + host + ":" + std::to_string(options_.port) + "/";
}

bool CurlFtpSession::configureHandle()
{
    CURL* c = curl_.get();
    const auto setopt = api_->easy_setopt;
    errorBuffer_.fill('\0');
    const long connectTimeout = options_.connectTimeoutS > 0 ? options_.connectTimeoutS : 20;
    const long stallTimeout = options_.stallTimeoutS > 0 ? options_.stallTimeoutS : 30;

    bool ok = setopt(c, CURLOPT_ERRORBUFFER, errorBuffer_.data()) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_PROTOCOLS_STR, "ftp,ftps") == CURLE_OK;
    // Credentials go in their own options, never into the URL, so they
    // cannot leak through libcurl's messages about the URL.
    ok = ok && setopt(c, CURLOPT_USERNAME, user_.c_str()) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_PASSWORD, password_.c_str()) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_CONNECTTIMEOUT, connectTimeout) == CURLE_OK;
    // Also bounds the wait for the greeting: a server that accepts the
    // connection and never speaks must not hang the update.
    ok = ok && setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, connectTimeout) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_ACCEPTTIMEOUT_MS, connectTimeout * 1000L) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_LOW_SPEED_TIME, stallTimeout) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_BUFFERSIZE, 100L * 1024L) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_FTP_USE_EPSV, options_.useEpsv ? 1L : 0L) == CURLE_OK;
    // Active mode: "-" lets libcurl use the control connection's address.
    ok = ok && setopt(c, CURLOPT_FTPPORT, passive_ ? nullptr : "-") == CURLE_OK;
    if (options_.tls == FtpTls::Explicit)
        ok = ok && setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (!options_.caFile.empty())
        ok = ok && setopt(c, CURLOPT_CAINFO, options_.caFile.c_str()) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_WRITEFUNCTION, &CurlFtpSession::onData) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlFtpSession::onProgress) == CURLE_OK;
    ok = ok && setopt(c, CURLOPT_XFERINFODATA, this) == CURLE_OK;
    return ok;
}

CURLcode CurlFtpSession::run()
{
    CURLM* multi = multi_.get();
    CURL* easy = curl_.get();
    if (api_->multi_add_handle(multi, easy) != CURLM_OK)
        return CURLE_FAILED_INIT;
    CURLcode result = CURLE_FAILED_INIT;
    for (;;) {
        int running = 0;
        if (api_->multi_perform(multi, &running) != CURLM_OK)
            break;
        bool done = false;
        int queued = 0;
        while (const CURLMsg* message = api_->multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                done = true;
            }
        }
        if (done || running == 0)
            break;
        if (api_->multi_poll(multi, nullptr, 0, kPollSliceMs, nullptr) != CURLM_OK)
            break;
    }
    api_->multi_remove_handle(multi, easy);
    return result;
}

bool CurlFtpSession::perform(const std::string& what)
{
    errorBuffer_.fill('\0');
    const CURLcode code = run();
    lastReply_ = 0;
    api_->easy_getinfo(curl_.get(), CURLINFO_RESPONSE_CODE, &lastReply_);
    if (code == CURLE_OK)
        return true;

    std::string message = what + ": ";
    if (transfer_ != nullptr && !transfer_->abortReason.empty())
        message += transfer_->abortReason;
    else
        message += api_->easy_strerror(code);
    const std::string detail(errorBuffer_.data());
    if (!detail.empty() && message.find(detail) == std::string::npos)
        message += " (" + detail + ")";
    if (lastReply_ > 0)
        message += "; last server reply " + std::to_string(lastReply_);
    return fail(message);
}

bool CurlFtpSession::OpenSession()
{
    // Every open starts from fresh handles with the settings as they are
    // now; dropping the old ones ends any session still open on them.
    CloseSession();
    if (!isValidHost(host_))
        return fail("no valid FTP host name is configured");
    if (options_.port < 1 || options_.port > 65535)
        return fail("FTP port " + std::to_string(options_.port) + " is out of range");

    if (api_ == nullptr) {
        std::string why;
        api_ = curlApi(&why);
        if (api_ == nullptr)
            return fail(why);
    }

    multi_ = CurlMulti(api_->multi_init(), CurlMultiDeleter{api_});
    curl_ = CurlEasy(api_->easy_init(), CurlEasyDeleter{api_});
    if (!multi_ || !curl_ || !configureHandle()) {
        CloseSession();
        return fail("cannot set up the FTP connection (libcurl)");
    }
    // Logging in without transferring anything: the connection stays in the
    // handle and the next requests reuse it.
    const std::string url = baseUrl();
    api_->easy_setopt(curl_.get(), CURLOPT_URL, url.c_str());
    api_->easy_setopt(curl_.get(), CURLOPT_NOBODY, 1L);
    api_->easy_setopt(curl_.get(), CURLOPT_NOPROGRESS, 1L);
    if (!perform("cannot open a session with " + host_ + ":" + std::to_string(options_.port))) {
        CloseSession();
        return false;
    }
    error_.clear();
    return true;
}

bool CurlFtpSession::EnterRemoteFolder(const std::string& folder)
{
    if (!curl_)
        return fail("no FTP session is open");

    // Relative to the login folder: empty components (leading, doubled or
    // trailing slashes) are dropped, each name is escaped on its own.
    std::string path;
    std::string_view rest(folder);
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (!part.empty())
            path += escape(part) + "/";
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    }

    const std::string url = baseUrl() + path;
    api_->easy_setopt(curl_.get(), CURLOPT_URL, url.c_str());
    api_->easy_setopt(curl_.get(), CURLOPT_NOBODY, 1L);
    api_->easy_setopt(curl_.get(), CURLOPT_NOPROGRESS, 1L);
    if (!perform("cannot enter the remote folder '" + folder + "'"))
        return false;
    folderPath_ = path;
    error_.clear();
    return true;
}

size_t CurlFtpSession::onData(char* data, size_t size, size_t count, void* self)
{
    auto* session = static_cast<CurlFtpSession*>(self);
    Transfer* transfer = session->transfer_;
    const size_t bytes = size * count;
    if (transfer == nullptr || transfer->file == nullptr)
        return 0;  // no download is expected: stop libcurl
    const auto length = static_cast<qint64>(bytes);
    if (transfer->file->write(data, length) != length) {
        transfer->abortReason = "cannot write the temporary file: " + toStd(transfer->file->errorString());
        return 0;
    }
    transfer->received += length;
    return bytes;
}

int CurlFtpSession::onProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t, curl_off_t)
{
    Transfer* transfer = static_cast<CurlFtpSession*>(self)->transfer_;
    if (transfer == nullptr)
        return 0;

    // libcurl's own low-speed check averages over several seconds, so after
    // a burst it notices a dead transfer late; this one counts from the last
    // byte that arrived.
    const auto now = std::chrono::steady_clock::now();
    const auto now64 = static_cast<std::int64_t>(dlNow);
    if (now64 != transfer->lastReported)
        transfer->lastMove = now;
    const auto stall = std::chrono::seconds(static_cast<CurlFtpSession*>(self)->options_.stallTimeoutS);
    if (stall.count() > 0 && now - transfer->lastMove > stall) {
        transfer->abortReason = "no data arrived for " + std::to_string(stall.count()) + " s";
        return 1;
    }

    if (now64 != transfer->lastReported) {
        transfer->lastReported = now64;
        if (transfer->progress != nullptr && *transfer->progress) {
            try {
                (*transfer->progress)(now64, dlTotal > 0 ? static_cast<std::int64_t>(dlTotal) : -1);
            } catch (const std::exception& e) {
                transfer->abortReason = std::string("the progress report failed: ") + e.what();
                return 1;
            } catch (...) {
                transfer->abortReason = "the progress report failed";
                return 1;
            }
        }
    }
    return 0;
}

bool CurlFtpSession::FetchFile(const std::string& remoteName, const std::filesystem::path& target,
                               const FtpProgress& progress)
{
    if (!curl_)
        return fail("no FTP session is open");
    if (remoteName.empty() || remoteName.find('/') != std::string::npos)
        return fail("invalid remote file name '" + remoteName + "'");

    const QFileInfo targetInfo(target);
    const QString targetPath = targetInfo.absoluteFilePath();
    const std::string shownTarget = toStd(QDir::toNativeSeparators(targetPath));

    // One update of a file at a time: a second updater started meanwhile
    // would otherwise race this one over the same rename.
    QLockFile lock(targetPath + u".lock"_s);
    lock.setStaleLockTime(0);  // a long download is not a stale lock; a dead holder is
    if (!lock.tryLock(0)) {
        if (lock.error() == QLockFile::LockFailedError) {
            qint64 pid = 0;
            std::string holder;
            if (lock.getLockInfo(&pid, nullptr, nullptr))
                holder = " (process " + std::to_string(pid) + ")";
            return fail("another update of " + shownTarget + " is in progress" + holder);
        }
        return fail("cannot create the lock file beside " + shownTarget +
                    (lock.error() == QLockFile::PermissionError ? ": permission denied" : ""));
    }

    // The installed file is never written in place: the download goes to a
    // temporary file in the same folder, renamed over it only when complete.
    QSaveFile file(targetPath);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail("cannot write beside " + shownTarget + ": " + toStd(file.errorString()));
    if (targetInfo.exists())
        carryOverOwnerAndMode(file.handle(), targetPath);

    Transfer transfer;
    transfer.file = &file;
    transfer.progress = &progress;
    transfer.lastMove = std::chrono::steady_clock::now();

    const std::string url = baseUrl() + folderPath_ + escape(remoteName);
    api_->easy_setopt(curl_.get(), CURLOPT_URL, url.c_str());
    api_->easy_setopt(curl_.get(), CURLOPT_NOBODY, 0L);
    api_->easy_setopt(curl_.get(), CURLOPT_NOPROGRESS, 0L);
    transfer_ = &transfer;
    const bool transferred = perform("cannot download '" + remoteName + "'");
    transfer_ = nullptr;
    api_->easy_setopt(curl_.get(), CURLOPT_NOPROGRESS, 1L);
    api_->easy_setopt(curl_.get(), CURLOPT_NOBODY, 1L);

    if (!transferred) {
        file.cancelWriting();
        return false;
    }

    // libcurl asks the size before RETR (and reads it from the 150 reply
    // otherwise); -1 when the server did not say.
    curl_off_t announced = -1;
    api_->easy_getinfo(curl_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (transfer.received == 0) {
        file.cancelWriting();
        return fail("cannot download '" + remoteName + "': the server sent an empty file");
    }
    if (announced >= 0 && transfer.received != static_cast<std::int64_t>(announced)) {
        file.cancelWriting();
        return fail("cannot download '" + remoteName + "': received " + std::to_string(transfer.received) +
                    " of " + std::to_string(announced) + " bytes");
    }
    if (!file.commit())
        return fail("cannot replace " + shownTarget + ": " + toStd(file.errorString()));
    // Through a symbolic link QSaveFile replaced the file it points to.
    syncFolder(QFileInfo(QFileInfo(targetPath).canonicalFilePath()).absolutePath());
    error_.clear();
    return true;
}

void CurlFtpSession::CloseSession()
{
    // The connection lives in the multi handle, which says goodbye (QUIT)
    // when it goes; there is nothing to report either way.
    curl_.reset();
    multi_.reset();
    folderPath_.clear();
}

}  // namespace

std::unique_ptr<FtpClient> makeCurlFtpSession(const FtpOptions& options)
{
    return std::make_unique<CurlFtpSession>(options);
}

}  // namespace adv::platform
