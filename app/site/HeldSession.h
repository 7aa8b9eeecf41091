// The update's FTP session, held open after the update is done with it so
// that the site's report goes over it (no second login), and watched on the
// way: how far the run got, how many bytes it brought.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/UpdateUi.h"
#include "platform/FtpClient.h"

namespace adv {

struct Config;

// The FTP session an update of `config` needs: the configured connection,
// with the download policy this site chooses. The signature vouches for the
// whole file where the size cannot, and it alone tells a finished upload
// from one still under way; without it the server is asked about the file
// again no sooner than 1.5 s after it was first asked, long enough for an
// upload to show, even in MDTM's seconds.
platform::FtpOptions downloadOptions(const Config& config);

// Where a run ended, as the site's report names it.
enum class RunPhase { Start, Connect, Offer, Download };
std::string_view phaseWord(RunPhase phase);

// The kind of a server's failure, a word of a fixed list: never the
// server's words, which may hold names.
std::string_view failureWord(const platform::FtpResult& why);

// The session asks the window whether to stop only while the command runs:
// the window may go before the session does.
class InterruptScope {
public:
    InterruptScope(platform::FtpClient& ftp, UpdateUi& ui) : ftp_(ftp)
    {
        ftp_.setInterruptCheck([&ui] { return ui.stopRequested(); });
    }
    ~InterruptScope() { ftp_.setInterruptCheck({}); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    platform::FtpClient& ftp_;
};

class HeldSession final : public platform::FtpClient {
public:
    // With `hold`, CloseSession waits for closeNow(); without, it closes.
    HeldSession(platform::FtpClient& inner, bool hold) : inner_(inner), hold_(hold) {}
    ~HeldSession() override = default;
    HeldSession(const HeldSession&) = delete;
    HeldSession& operator=(const HeldSession&) = delete;

    void setHostname(const std::string& host) override { inner_.setHostname(host); }
    void setUsername(const std::string& user) override { inner_.setUsername(user); }
    void setPassword(const std::string& password) override { inner_.setPassword(password); }
    void setInterruptCheck(std::function<bool()> check) override { inner_.setInterruptCheck(std::move(check)); }
    platform::FtpResult OpenSession() override;
    platform::FtpResult EnterRemoteFolder(const std::string& folder) override;
    platform::FtpResult FetchFile(const std::string& remoteName, platform::FtpSink& sink,
                                  const platform::FtpProgress& progress) override;
    platform::FtpResult AskAbout(const std::string& remoteName, Facts& facts) override;
    platform::FtpResult PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes) override;
    void CloseSession() override;

    // Ends the session (if any), whatever holds it.
    void closeNow();
    // A session is open, as far as this side knows.
    bool open() const { return open_; }
    // `name` in `folder` below `root`, over the open session: `root` entered
    // again when the run left it. No session: FtpFailure::Connection, and
    // nothing is sent.
    platform::FtpResult placeBelow(const std::string& root, const std::string& folder, const std::string& name,
                                   std::string_view bytes);

    RunPhase reached() const { return reached_; }
    std::int64_t bytes() const { return bytes_; }

private:
    platform::FtpResult seen(platform::FtpResult result);

    platform::FtpClient& inner_;
    bool hold_;
    bool open_ = false;
    std::optional<std::string> folder_;  // the current folder; none: unknown
    RunPhase reached_ = RunPhase::Start;
    std::int64_t bytes_ = 0;
};

}  // namespace adv
