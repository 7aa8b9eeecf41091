#include "platform/CurlRequests.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "platform/CurlSetup.h"
#include "platform/RateFloor.h"

namespace adv::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Longest single wait for socket activity while a request runs.
constexpr int kPollSliceMs = 2;
// Replies kept for the lines that asked for them: more than any request sends.
constexpr std::size_t kKeptReplies = 8;

FtpResult failure(FtpFailure kind, std::string detail, long reply = 0)
{
    return {kind, reply, std::move(detail), {}};
}

bool movesData(RequestKind kind)
{
    return kind == RequestKind::Retrieve || kind == RequestKind::List || kind == RequestKind::Store;
}

// What libcurl's code tells beyond the kind the caller expects.
FtpFailure kindOf(CURLcode code, FtpFailure expected)
{
    if (code == CURLE_REMOTE_FILE_NOT_FOUND && expected == FtpFailure::Transfer)
        return FtpFailure::RemoteFile;
    // Only the server's own "no" to a command is a refusal: a session lost on
    // the way says nothing about the name, and a refusal makes the publisher
    // delete the name in use.
    if (code == CURLE_QUOTE_ERROR && expected == FtpFailure::Connection)
        return FtpFailure::Refused;
    // TLS saying no is no connection trouble: trying again will not help,
    // and IT must look at tls or ca_file.
    if (code == CURLE_USE_SSL_FAILED || code == CURLE_SSL_CIPHER)
        return FtpFailure::TlsRefused;
    for (const CURLcode untrusted :
         {CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE, CURLE_SSL_CERTPROBLEM, CURLE_SSL_ISSUER_ERROR,
          CURLE_SSL_PINNEDPUBKEYNOTMATCH, CURLE_SSL_INVALIDCERTSTATUS, CURLE_SSL_CRL_BADFILE}) {
        if (code == untrusted)
            return FtpFailure::Untrusted;
    }
    return expected;
}

}  // namespace

struct CurlRequests::Transfer {
    const FtpRequest& request;
    RateFloor rate;
    std::int64_t moved = 0;  // received or sent
    std::int64_t lastReported = -1;
    std::optional<FtpResult> abort;  // why a callback stopped the transfer
};

bool CurlRequests::open(const std::string& host, const std::string& user, const std::string& password, bool stores)
{
    password_ = password;
    binary_ = false;
    curl_.reset();
    trust_ = {host, {}, {}};
    curl_ = std::make_unique<CurlHolder>();
    CURL* c = curl_->easy();
    bool ok = *curl_ && setUpConnection(c, options_, user, password, stores, trust_);
    ok = ok && curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CurlRequests::onData) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_WRITEDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_READFUNCTION, &CurlRequests::onRead) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_READDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CurlRequests::onReply) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_HEADERDATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CurlRequests::onProgress) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFODATA, this) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L) == CURLE_OK;
    if (!ok)
        close();
    return ok;
}

FtpResult CurlRequests::ready() const
{
    return curl_ ? FtpResult{} : failure(FtpFailure::Setting, "no FTP session is open");
}

FtpResult CurlRequests::finish(FtpResult result) const
{
    if (result.failure != FtpFailure::None && result.failure != FtpFailure::Interrupted)
        result.serverReply = lastReplyLine_;
    if (!password_.empty() && result.detail.find(password_) != std::string::npos)
        result.detail = "(the reason is not shown: it contains the configured password)";
    if (!password_.empty() && result.serverReply.find(password_) != std::string::npos)
        result.serverReply = "(not shown: it contains the configured password)";
    return result;
}

RequestOutcome CurlRequests::run(const FtpRequest& request)
{
    if (FtpResult open = ready(); !open)
        return {open};
    // libcurl takes a leading '*' as "ignore a refusal": the caller's names never start so.
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> lines(nullptr, &curl_slist_free_all);
    for (const std::string& line : request.lines) {
        curl_slist* longer = curl_slist_append(lines.get(), line.c_str());
        if (longer == nullptr)
            return {failure(FtpFailure::Setting, request.what + ": out of memory")};
        (void)lines.release();
        lines.reset(longer);
    }
    Transfer transfer{request, RateFloor(stallWindow(options_), options_.minRateBps), 0, -1, std::nullopt};
    CURL* c = curl_->easy();
    setOptions(request, lines.get());
    curl_->clearError();
    trust_.refusal.clear();
    lastReplyLine_.clear();
    replies_.clear();
    preliminaryReply_ = false;
    if (curl_multi_add_handle(curl_->multi(), c) != CURLM_OK) {
        resetOptions(request);
        return {finish(failure(FtpFailure::Setting, request.what + ": cannot start the request (libcurl)"))};
    }
    transfer_ = &transfer;
    bool interrupted = false;
    bool connected = false;
    const std::optional<CURLcode> code = perform(interrupted, connected);
    transfer_ = nullptr;
    noteMode(request, code, connected);

    long reply = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply);
    if (interrupted) {
        // The control connection is somewhere inside a command: it cannot
        // carry another one.
        close();
        return {finish(failure(FtpFailure::Interrupted, request.what + ": interrupted", reply))};
    }
    RequestOutcome outcome{{}, transfer.moved, {}, code == CURLE_QUOTE_ERROR};
    // A command's lines are the last it sends: their replies came last.
    if (request.kind == RequestKind::Command && code == CURLE_OK) {
        const std::size_t answered = std::min(request.lines.size(), replies_.size());
        outcome.replies.assign(replies_.end() - static_cast<std::ptrdiff_t>(answered), replies_.end());
    } else if (code != CURLE_OK) {
        outcome.replies = replies_;
    }
    resetOptions(request);
    if (code != CURLE_OK)
        outcome.result =
            transfer.abort ? finish({transfer.abort->failure, reply, request.what + ": " + transfer.abort->detail, {}})
                           : failed(request, code, reply);
    return outcome;
}

void CurlRequests::setOptions(const FtpRequest& request, curl_slist* lines)
{
    CURL* c = curl_->easy();
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_NOBODY, movesData(request.kind) ? 0L : 1L);
    switch (request.kind) {
    case RequestKind::Command: curl_easy_setopt(c, CURLOPT_POSTQUOTE, lines); break;
    // libcurl reads the data connection to its end whatever size it sees;
    // the callbacks judge and bound what arrives. So it asks no SIZE, and
    // then no REST of its own either (CURLOPT_RESUME_FROM is ignored): the
    // caller's lines carry it, sent just before RETR.
    case RequestKind::Retrieve:
        curl_easy_setopt(c, CURLOPT_PREQUOTE, lines);
        curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        break;
    case RequestKind::List:
        if (request.listCommand.empty())
            curl_easy_setopt(c, CURLOPT_DIRLISTONLY, 1L);
        else
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.listCommand.c_str());
        curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
        break;
    case RequestKind::Store:
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.source.size()));
        curl_easy_setopt(c, CURLOPT_POSTQUOTE, lines);
        break;
    }
    if (movesData(request.kind))
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    // libcurl sends a path that starts at the root whole, and remembers
    // the folder the session is in from before.
    if (request.fromRoot)
        curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
}

void CurlRequests::resetOptions(const FtpRequest& request)
{
    CURL* c = curl_->easy();
    switch (request.kind) {
    case RequestKind::Command: curl_easy_setopt(c, CURLOPT_POSTQUOTE, nullptr); break;
    case RequestKind::Retrieve:
        curl_easy_setopt(c, CURLOPT_PREQUOTE, nullptr);
        curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
        break;
    case RequestKind::List:
        curl_easy_setopt(c, CURLOPT_DIRLISTONLY, 0L);
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(c, CURLOPT_IGNORE_CONTENT_LENGTH, 0L);
        break;
    case RequestKind::Store:
        curl_easy_setopt(c, CURLOPT_UPLOAD, 0L);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t{-1});
        curl_easy_setopt(c, CURLOPT_POSTQUOTE, nullptr);
        break;
    }
    if (movesData(request.kind))
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 1L);
    // The session's own, as setUpConnection chose it.
    if (request.fromRoot)
        curl_easy_setopt(c, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
}

std::optional<CURLcode> CurlRequests::perform(bool& interrupted, bool& connected)
{
    CURLM* multi = curl_->multi();
    CURL* easy = curl_->easy();
    std::optional<CURLcode> result;
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
    // Only while the handle is in the multi handle does libcurl look for
    // the connection it kept.
    curl_socket_t control = CURL_SOCKET_BAD;
    connected =
        result && curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &control) == CURLE_OK && control != CURL_SOCKET_BAD;
    curl_multi_remove_handle(multi, easy);
    return result;
}

void CurlRequests::noteMode(const FtpRequest& request, std::optional<CURLcode> code, bool connected)
{
    // libcurl asks for binary mode before a file's transfer and for ASCII
    // before a listing; a line may ask for it too. A connection libcurl
    // closed takes its mode with it: the next one starts in ASCII.
    const bool succeeded = code == CURLE_OK;
    if (!connected || request.kind == RequestKind::List)
        binary_ = false;
    else if (succeeded && (request.kind == RequestKind::Retrieve || request.kind == RequestKind::Store))
        binary_ = true;
    else if (succeeded && std::ranges::find(request.lines, "TYPE I") != request.lines.end())
        binary_ = true;
}

std::string CurlRequests::entryPath() const
{
    const char* path = nullptr;
    if (!curl_ || curl_easy_getinfo(curl_->easy(), CURLINFO_FTP_ENTRY_PATH, &path) != CURLE_OK || path == nullptr)
        return {};
    return path;
}

FtpResult CurlRequests::failed(const FtpRequest& request, std::optional<CURLcode> result, long reply) const
{
    const CURLcode code = result.value_or(CURLE_FAILED_INIT);
    // libcurl reports a 421 at any step as its own time-out; it is the
    // server closing the session, and says why in its reply.
    if (lastReplyLine_.rfind("421", 0) == 0)
        return finish(
            failure(request.failsAs, request.what + ": the server closed the session: " + lastReplyLine_, 421));
    std::string detail = request.what + ": " + curl_easy_strerror(code);
    const std::string extra = curl_->errorText();
    if (!extra.empty() && detail.find(extra) == std::string::npos)
        detail += " (" + extra + ")";
    if (!trust_.refusal.empty())
        detail += " (" + trust_.refusal + ")";
    // The server would not start where the sink's bytes end: a REST refused,
    // or the file refused from there (Pure-FTPd and ProFTPD refuse a
    // position past its end; vsftpd sends nothing, which the session sees).
    if (request.from > 0 &&
        (code == CURLE_QUOTE_ERROR || code == CURLE_REMOTE_FILE_NOT_FOUND || code == CURLE_FTP_COULDNT_RETR_FILE))
        return finish(failure(FtpFailure::Resume,
                              request.what + ": the server does not send it from byte " + std::to_string(request.from) +
                                  "; it must be fetched again from its start (" + curl_easy_strerror(code) + ")",
                              reply));
    // libcurl's side of the handshake succeeded: the server then closed the
    // data connection, and says so on the control one, vsftpd with 522,
    // ProFTPD with 425 after it had announced the transfer.
    if (options_.tls != FtpTls::Off && movesData(request.kind) && (reply == 522 || (reply == 425 && preliminaryReply_)))
        return finish(failure(FtpFailure::DataTlsRefused, detail, reply));
    return finish(failure(kindOf(code, request.failsAs), detail, reply));
}

size_t CurlRequests::onReply(char* data, size_t size, size_t count, void* self)
{
    // libcurl hands over each line the server answers, and a few lines of
    // its own making ("Content-Length: ..."); only a reply starts with its code.
    const std::string_view line(data, size * count);
    if (line.size() >= 3 && line[0] >= '1' && line[0] <= '5' && line[1] >= '0' && line[1] <= '9' && line[2] >= '0' &&
        line[2] <= '9') {
        auto* requests = static_cast<CurlRequests*>(self);
        requests->preliminaryReply_ = requests->preliminaryReply_ || line[0] == '1';
        std::string& last = requests->lastReplyLine_;
        last.clear();
        for (const char c : line.substr(0, 200)) {
            if (c == '\r' || c == '\n')
                break;
            last += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
        }
        // A reply's last line has a space after its code ("213-" goes on).
        if (last.size() == 3 || last[3] == ' ') {
            std::vector<std::string>& kept = requests->replies_;
            if (kept.size() == kKeptReplies)
                kept.erase(kept.begin());
            kept.push_back(last);
        }
    }
    return size * count;
}

size_t CurlRequests::onData(char* data, size_t size, size_t count, void* self)
{
    Transfer* transfer = static_cast<CurlRequests*>(self)->transfer_;
    const size_t bytes = size * count;
    // Outside a download only libcurl's own lines come here: the size and
    // time it learnt, written as headers to both callbacks.
    if (transfer == nullptr || transfer->request.sink == nullptr)
        return bytes;
    const auto length = static_cast<std::int64_t>(bytes);
    // An endless or overlong stream stops here, before it reaches the sink.
    if (transfer->moved + length > transfer->request.limit) {
        transfer->abort = failure(FtpFailure::Size, transfer->request.overLimit);
        return 0;
    }
    if (FtpResult refused = transfer->request.sink->take(data, bytes); !refused) {
        transfer->abort = std::move(refused);
        return 0;
    }
    transfer->moved += length;
    return bytes;
}

size_t CurlRequests::onRead(char* buffer, size_t size, size_t count, void* self)
{
    Transfer* transfer = static_cast<CurlRequests*>(self)->transfer_;
    if (transfer == nullptr)
        return 0;
    const std::string_view source = transfer->request.source;
    const auto sent = static_cast<std::size_t>(transfer->moved);
    const std::size_t length = std::min(size * count, source.size() - sent);
    std::memcpy(buffer, source.data() + sent, length);
    transfer->moved += static_cast<std::int64_t>(length);
    return length;
}

int CurlRequests::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* requests = static_cast<CurlRequests*>(self);
    Transfer* transfer = requests->transfer_;
    if (transfer == nullptr)
        return 0;

    if (!transfer->rate.keepsUp(Clock::now(), transfer->moved)) {
        transfer->abort = failure(FtpFailure::Transfer,
                                  "the transfer was slower than " + std::to_string(requests->options_.minRateBps) +
                                      " bytes/s for " + std::to_string(requests->options_.stallTimeout.count()) + " s");
        return 1;
    }
    const FtpProgress* progress = transfer->request.progress;
    if (transfer->moved == transfer->lastReported || progress == nullptr || !*progress)
        return 0;
    transfer->lastReported = transfer->moved;
    try {
        (*progress)(transfer->request.from + transfer->moved, transfer->request.announced);
    } catch (const std::exception& e) {
        transfer->abort = failure(FtpFailure::Sink, std::string("the progress report failed: ") + e.what());
        return 1;
    } catch (...) {
        transfer->abort = failure(FtpFailure::Sink, "the progress report failed");
        return 1;
    }
    return 0;
}

}  // namespace adv::platform
