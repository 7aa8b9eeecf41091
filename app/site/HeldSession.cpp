#include "app/site/HeldSession.h"

#include <algorithm>

#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"

namespace adv {
namespace {

// Counts what a download brings, and passes it on.
class CountingSink final : public platform::FtpSink {
public:
    CountingSink(platform::FtpSink& inner, std::int64_t& count) : inner_(inner), count_(count) {}
    platform::FtpResult take(const char* data, std::size_t size) override
    {
        count_ += static_cast<std::int64_t>(size);
        return inner_.take(data, size);
    }
    std::int64_t capacity() const override { return inner_.capacity(); }
    bool checksWhole() const override { return inner_.checksWhole(); }
    std::int64_t heldAlready() const override { return inner_.heldAlready(); }

private:
    platform::FtpSink& inner_;
    std::int64_t& count_;
};

}  // namespace

platform::FtpOptions downloadOptions(const Config& config)
{
    platform::FtpOptions options = config.ftp;
    const bool signedOnly = config.publicKey.has_value();
    options.download = {.allowUnknownSize = signedOnly,
                        .recheckAfter = std::chrono::milliseconds(signedOnly ? 0 : 1500)};
    return options;
}

std::string_view phaseWord(RunPhase phase)
{
    switch (phase) {
    case RunPhase::Start: return "start";
    case RunPhase::Connect: return "connect";
    case RunPhase::Offer: return "offer";
    case RunPhase::Download: return "download";
    }
    return "start";
}

std::string_view failureWord(const platform::FtpResult& why)
{
    using platform::FtpFailure;
    switch (why.failure) {
    case FtpFailure::None: return "";
    case FtpFailure::Setting: return "setting";
    // 530: the server refused the user or the password.
    case FtpFailure::Connection: return why.reply == 530 ? "login" : "connection";
    case FtpFailure::Folder: return "folder";
    case FtpFailure::RemoteFile: return "file";
    case FtpFailure::Size: return "size";
    case FtpFailure::Transfer: return "transfer";
    case FtpFailure::Sink: return "local";
    case FtpFailure::Refused: return "refused";
    case FtpFailure::Mismatch: return "mismatch";
    case FtpFailure::TlsRefused: return "tls";
    case FtpFailure::Untrusted: return "untrusted";
    case FtpFailure::Interrupted: return "interrupted";
    case FtpFailure::Resume: return "resume";
    case FtpFailure::DataTlsRefused: return "data-tls";
    }
    return "unknown";
}

platform::FtpResult HeldSession::seen(platform::FtpResult result)
{
    // An interrupted operation ends the session.
    if (result.failure == platform::FtpFailure::Interrupted)
        open_ = false;
    return result;
}

platform::FtpResult HeldSession::OpenSession()
{
    reached_ = std::max(reached_, RunPhase::Connect);
    platform::FtpResult opened = inner_.OpenSession();
    open_ = static_cast<bool>(opened);
    folder_ = std::string();
    return seen(std::move(opened));
}

platform::FtpResult HeldSession::EnterRemoteFolder(const std::string& folder)
{
    platform::FtpResult entered = inner_.EnterRemoteFolder(folder);
    folder_ = entered ? std::optional(folder) : std::nullopt;
    if (entered)
        reached_ = std::max(reached_, RunPhase::Offer);
    return seen(std::move(entered));
}

platform::FtpResult HeldSession::FetchFile(const std::string& remoteName, platform::FtpSink& sink,
                                           const platform::FtpProgress& progress)
{
    // The index and the signatures tell what to take; anything else is the program.
    if (remoteName != kIndexName && !remoteName.ends_with(kSignatureSuffix))
        reached_ = RunPhase::Download;
    CountingSink counted(sink, bytes_);
    return seen(inner_.FetchFile(remoteName, counted, progress));
}

platform::FtpResult HeldSession::AskAbout(const std::string& remoteName, Facts& facts)
{
    return seen(inner_.AskAbout(remoteName, facts));
}

platform::FtpResult HeldSession::PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes)
{
    return seen(inner_.PlaceFile(folder, name, bytes));
}

void HeldSession::CloseSession()
{
    if (hold_)
        return;
    inner_.CloseSession();
    open_ = false;
    folder_.reset();
}

void HeldSession::closeNow()
{
    inner_.CloseSession();
    open_ = false;
    folder_.reset();
}

platform::FtpResult HeldSession::placeBelow(const std::string& root, const std::string& folder, const std::string& name,
                                            std::string_view bytes)
{
    if (!open_)
        return {platform::FtpFailure::Connection, 0, "no session", {}};
    if (folder_ != root) {
        if (platform::FtpResult entered = EnterRemoteFolder(root); !entered)
            return entered;
    }
    return PlaceFile(folder, name, bytes);
}

}  // namespace adv
