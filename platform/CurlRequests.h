// The requests of one FTP session over libcurl, each the same way: the
// options its kind needs set on the session's one easy handle (so the control
// connection that logged in carries every later request), the request run,
// the options put back, and libcurl's and the server's words made an
// FtpResult that never holds the password.
//
// The handle is driven through a multi handle of our own rather than
// curl_easy_perform, for two reasons: the caller's interrupt check runs
// between two short polls, and libcurl 7.88 sometimes sits out a whole second
// of its own poll between the passive-mode reply and connecting the data
// channel on a reused control connection, which a short poll slice avoids.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CurlHolder.h"
#include "platform/FtpClient.h"
#include "platform/TlsTrust.h"

namespace adv::platform {

enum class RequestKind {
    Command,   // reaches the URL (logging in, entering a folder), then sends `lines`; no data
    Retrieve,  // RETR of the file at the URL into `sink`, after `lines`
    List,      // NLST (or `listCommand`) of the folder at the URL into `sink`
    Store,     // STOR of `source` as the file at the URL, then `lines`
};

struct FtpRequest {
    RequestKind kind = RequestKind::Command;
    std::string url;
    std::string what;                           // the reason's start: "cannot download 'dolvo.exe'"
    FtpFailure failsAs = FtpFailure::Transfer;  // a failure of libcurl's, unless its code tells more
    // Sent one after the other, a Command's once the URL is reached, a
    // Retrieve's just before RETR, a Store's once the file is stored; a
    // refusal ends them, unless the line starts with '*'.
    std::vector<std::string> lines{};
    FtpSink* sink = nullptr;                // Retrieve, List
    std::string_view source{};              // Store
    const FtpProgress* progress = nullptr;  // Retrieve, Store
    std::int64_t announced = -1;            // the size progress reports; -1 unknown
    std::int64_t limit = INT64_MAX;         // Retrieve, List: more bytes fail...
    std::string overLimit{};                // ...as FtpFailure::Size, for this reason
    // Retrieve: the bytes the sink holds already, from which progress
    // counts; `lines` ask the server to start there, and its refusal of
    // them or of the file is FtpFailure::Resume.
    std::int64_t from = 0;
    // List: the command instead of NLST ("MLSD", "LIST").
    std::string listCommand{};
    // The URL names its file or folder from the server's root, and the
    // request names it so, whole, in its command: no CWD, and the session
    // stays where it was.
    bool fromRoot = false;
};

// What a request came to, and what it learnt on the way.
struct RequestOutcome {
    FtpResult result;
    std::int64_t moved = 0;  // bytes received or sent
    // A Command that succeeded: the last line of each reply to its `lines`,
    // in their order, as lastReplyLine_ keeps one. A request that failed:
    // the last few replies it got, the last one last.
    std::vector<std::string> replies{};
    bool lineRefused = false;  // the server refused one of `lines`
};

class CurlRequests {
public:
    // Both belong to the session, which outlives this.
    CurlRequests(const FtpOptions& options, const std::function<bool()>& interrupted)
        : options_(options), interrupted_(interrupted)
    {
    }
    CurlRequests(const CurlRequests&) = delete;
    CurlRequests& operator=(const CurlRequests&) = delete;

    // Fresh handles with the connection's options, for a session with `host`
    // that only reads or one that also stores; any session on the old ones
    // ends. False when libcurl cannot be set up.
    bool open(const std::string& host, const std::string& user, const std::string& password, bool stores);
    // The connection lives in the multi handle, which says goodbye (QUIT)
    // when it goes.
    void close()
    {
        curl_.reset();
        binary_ = false;
    }
    // Success while the handles are there: from open until close, or until
    // a request was interrupted.
    FtpResult ready() const;
    // The login folder, as the server named it after the login; empty when
    // it did not.
    std::string entryPath() const;
    // Whether the session is in binary mode, as the last transfers or lines
    // left it, on the connection still open.
    bool binary() const { return binary_; }

    // `text` made safe for one component of a URL's path.
    std::string escape(std::string_view text) const { return curl_->escape(text); }

    RequestOutcome run(const FtpRequest& request);

    // Every result that carries libcurl's or the server's words leaves
    // through here: with the server's last reply, and a text that holds the
    // password dropped whole rather than patched.
    FtpResult finish(FtpResult result) const;

private:
    // What a transfer needs inside libcurl's callbacks.
    struct Transfer;

    static size_t onData(char* data, size_t size, size_t count, void* self);
    static size_t onRead(char* buffer, size_t size, size_t count, void* self);
    static size_t onReply(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    void setOptions(const FtpRequest& request, curl_slist* lines);
    void resetOptions(const FtpRequest& request);
    // Drives the request added to the multi handle to its end, or until the
    // interrupt check says stop; takes it out again. `connected`: whether
    // its control connection is still open then.
    std::optional<CURLcode> perform(bool& interrupted, bool& connected);
    // What the request that ended with `code` left the session's mode.
    void noteMode(const FtpRequest& request, std::optional<CURLcode> code, bool connected);
    FtpResult failed(const FtpRequest& request, std::optional<CURLcode> result, long reply) const;

    const FtpOptions& options_;
    const std::function<bool()>& interrupted_;
    std::string password_;
    SystemTrust trust_;  // before curl_: its connections use it to the end
    std::unique_ptr<CurlHolder> curl_;
    std::string lastReplyLine_;
    std::vector<std::string> replies_;  // the request's last few final reply lines
    bool preliminaryReply_ = false;     // a 1xx came during the request
    bool binary_ = false;
    Transfer* transfer_ = nullptr;  // set only while a request runs
};

}  // namespace adv::platform
