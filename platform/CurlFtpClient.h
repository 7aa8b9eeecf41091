// The libcurl-backed session, as the files that build its operations share it.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CurlRequests.h"
#include "platform/CurlSetup.h"
#include "platform/FtpClient.h"

namespace adv::platform {

class CurlFtpClient final : public FtpPublishSession {
public:
    CurlFtpClient(const FtpOptions& options, bool stores) : options_(options), stores_(stores) {}
    ~CurlFtpClient() override { CloseSession(); }
    CurlFtpClient(const CurlFtpClient&) = delete;
    CurlFtpClient& operator=(const CurlFtpClient&) = delete;

    void setHostname(const std::string& host) override { host_ = host; }
    void setUsername(const std::string& user) override { user_ = user; }
    void setPassword(const std::string& password) override { password_ = password; }
    void setInterruptCheck(std::function<bool()> interrupted) override { interrupted_ = std::move(interrupted); }

    FtpResult OpenSession() override;
    FtpResult EnterRemoteFolder(const std::string& folder) override;
    FtpResult FetchFile(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress) override;
    FtpResult AskAbout(const std::string& remoteName, Facts& facts) override;
    void CloseSession() override;

    FtpResult PutFile(const std::string& remoteName, std::string_view bytes, const FtpProgress& progress) override;
    FtpResult Rename(const std::string& from, const std::string& to) override;
    FtpResult Delete(const std::string& remoteName) override;
    FtpResult MakeFolder(const std::string& name) override;
    FtpResult RemoveFolder(const std::string& name) override;
    FtpResult FetchListing(FtpSink& sink) override;
    FtpResult PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes) override;
    FtpResult ListFacts(const std::string& folder, std::vector<Listed>& entries, std::size_t maxEntries) override;

private:
    using Clock = std::chrono::steady_clock;

    // Where the requests of an operation on `folder`, one below the current
    // one, go: its URL, and what its commands put before a name there.
    struct Place {
        std::string url;     // the folder's, ending in '/'
        std::string prefix;  // from the server's root when fromRoot, else empty: the URL's CWD put the session there
        bool fromRoot = false;
    };

    // What SIZE and MDTM of a file say (-1: nothing), or why nothing came.
    struct Asked {
        FtpResult result;
        std::int64_t size = -1;
        std::int64_t mtime = -1;
    };

    // Success when a session is open and `name` is one of its current folder.
    FtpResult usable(const std::string& name, std::string_view noun = "file") const;
    std::string folderUrl() const { return serverUrl(host_, options_) + folderPath_; }
    std::string fileUrl(const std::string& name) const { return folderUrl() + requests_.escape(name); }
    Asked askAbout(const std::string& name);
    // The whole file, by the server's size before and after as the download
    // policy says; or as the sink, which checks it itself, takes it.
    FtpResult fetchChecked(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress);
    FtpResult fetchForSink(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress);
    // Commands sent in the current folder, one after the other, with nothing
    // transferred; the first the server refuses ends them, unless it starts
    // with '*'.
    RequestOutcome command(std::vector<std::string> lines, const std::string& what,
                           FtpFailure failsAs = FtpFailure::Connection);
    // Waits, answering the interrupt check.
    FtpResult waitUntil(Clock::time_point until, const std::string& remoteName);
    // Success and where `folder` is, when a session is open and `folder` is
    // empty or one below the current folder.
    FtpResult placeOf(const std::string& folder, Place& place) const;
    // The second try of a place, where the server would not rename onto the name in use.
    FtpResult placeOver(const Place& place, const std::string& part, const std::string& name);

    const FtpOptions options_;
    const bool stores_;  // a publisher's session, which also uploads
    std::string host_;
    std::string user_;
    std::string password_;
    std::function<bool()> interrupted_;

    CurlRequests requests_{options_, interrupted_};
    std::string entryPath_;   // the login folder, as the server named it
    std::string folderPath_;  // escaped, each component followed by '/'
    // The current folder from the server's root, ending in '/'; empty when
    // the server did not name its login folder from its root.
    std::string folderFromRoot_;
    // Whether the server lists a folder's files with MLSD, once it said.
    std::optional<bool> listsFacts_;
};

}  // namespace adv::platform
