#include "app/site/ReadOffer.h"

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "app/core/RunLog.h"
#include "app/site/HeldSession.h"
#include "app/site/Pacing.h"
#include "app/site/ProgramSink.h"
#include "app/site/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

std::optional<ServerFacts> factsOf(const platform::FtpClient::Facts& facts)
{
    if (!facts.size || !facts.modified)
        return std::nullopt;
    return ServerFacts{*facts.size, *facts.modified};
}

}  // namespace

UpdateReport serverFailed(UpdateUi& ui, const Config& config, UpdateOutcome outcome, const QString& line,
                          const platform::FtpResult& why)
{
    const bool interrupted = why.failure == platform::FtpFailure::Interrupted;
    UpdateReport report = interrupted
                              ? ended(ui, UpdateOutcome::Interrupted, text::kInterrupted, text::ftpCause(why, config))
                              : ended(ui, outcome, line, text::ftpCause(why, config));
    report.mayPass = !interrupted && mayPassIfTriedAgain(why);
    report.causeKind = failureWord(why);
    return report;
}

ReadOffer::ReadOffer(UpdateUi& ui, platform::FtpClient& ftp, const Config& config,
                     install::FileReplacement& installation)
    : ui_(ui), ftp_(ftp), config_(config), installation_(installation)
{
    const std::optional<std::string> text = installation.memo(maxMemoBytes());
    std::optional<ServerMemo> memo = text ? ServerMemo::parse(*text) : std::nullopt;
    if (memo && memo->server == memoServer(config))
        memo_ = std::move(memo);
}

std::optional<UpdateReport> ReadOffer::index(Offer& offer)
{
    // Asked first: only an index that changed since the last run is fetched.
    platform::FtpClient::Facts facts;
    const platform::FtpResult asked = ftp_.AskAbout(kIndexName, facts);
    if (asked.failure == platform::FtpFailure::RemoteFile)
        return std::nullopt;
    if (!asked)
        return serverFailed(ui_, config_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, asked);
    indexFacts_ = factsOf(facts);
    indexText_.clear();
    indexRead_ = false;
    StoredIndex read;
    if (indexFacts_ && memo_ && memo_->index == indexFacts_) {
        read = readStoredIndex(memo_->indexText, config_.publicKey);
        // One that no longer reads as the maker's (another key, say) is fetched anew.
        if (read.index && (!config_.publicKey || read.authentic)) {
            indexText_ = memo_->indexText;
            runlog::write(text::kIndexUnchanged);
        }
    }
    if (indexText_.empty()) {
        IndexSink stored;
        const platform::FtpResult got = ftp_.FetchFile(kIndexName, stored);
        if (got.failure == platform::FtpFailure::RemoteFile)
            return std::nullopt;
        if (!got)
            return serverFailed(ui_, config_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
        indexText_ = std::move(stored.text);
        indexRead_ = true;
        read = readStoredIndex(indexText_, config_.publicKey);
    }
    if (config_.publicKey && !read.authentic)
        return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic, read.cause);
    if (!read.index) {
        runlog::write(Cause(u"l'indice del server non si legge; si prende dolvo.exe"_s, read.cause.logged()).logged());
        indexFacts_.reset();
        return std::nullopt;
    }
    offer.index = std::move(read.index);
    offer.indexSignedAt = read.signedAt;
    offer.indexTextHash = read.textHash;
    return std::nullopt;
}

std::optional<UpdateReport> ReadOffer::statement(Situation& situation)
{
    Offer& offer = situation.offer;
    offer.statementAsked = true;
    if (offer.index->refreshKey) {
        platform::MemorySink sink(minisign::kMaxSignatureBytes);
        const platform::FtpResult got = ftp_.FetchFile(kFreshName, sink);
        if (got)
            offer.statement = sink.contents();
        else if (got.failure != platform::FtpFailure::RemoteFile && got.failure != platform::FtpFailure::Size)
            return serverFailed(ui_, config_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
    }
    const Freshness fresh = offerFreshness(situation);
    if (!fresh.refused.isEmpty())
        runlog::write(fresh.refused.logged());
    if (situation.mode == UpdateMode::Check && fresh.until)
        ui_.AppendStatus(text::indexValidity(offer.indexSignedAt, *fresh.until));
    return std::nullopt;
}

std::optional<UpdateReport> ReadOffer::signature(Offer& offer, std::string& text)
{
    const std::string name = std::string(kUpdatedProgram);
    platform::MemorySink sink(minisign::kMaxSignatureBytes);
    const platform::FtpResult got = ftp_.FetchFile(signatureName(name), sink);
    if (got.failure == platform::FtpFailure::RemoteFile || got.failure == platform::FtpFailure::Size)
        return ended(ui_, UpdateOutcome::SignatureMissing, text::kSignatureMissing,
                     text::signatureMissingCause(text::ftpCause(got, config_)));
    if (!got)
        return serverFailed(ui_, config_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
    const minisign::Checked checked = minisign::Signature::check(sink.contents(), *config_.publicKey, name);
    if (!checked.signature)
        return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                     text::because(u"la firma non è del produttore, o non è di questo file"_s, checked.check.detail));
    offer.signature = checked.signature;
    text = sink.contents();
    return std::nullopt;
}

std::optional<UpdateReport> ReadOffer::program(Offer& offer)
{
    offer.programAsked = true;
    platform::FtpClient::Facts facts;
    const platform::FtpResult asked = ftp_.AskAbout(std::string(kUpdatedProgram), facts);
    // A server that will not say leaves the download to find out.
    if (!asked && asked.failure != platform::FtpFailure::RemoteFile)
        return serverFailed(ui_, config_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, asked);
    programFacts_ = factsOf(facts);
    offer.program = programFacts_;
    return std::nullopt;
}

void ReadOffer::keep(const std::string& installedHash)
{
    const bool program = !installedHash.empty() && programFacts_;
    if (!indexRead_ && !program)
        return;
    ServerMemo memo = memo_.value_or(ServerMemo{});
    memo.server = memoServer(config_);
    if (indexRead_) {
        memo.index = indexFacts_;
        memo.indexText = indexFacts_ ? indexText_ : std::string();
    }
    if (program) {
        memo.program = programFacts_;
        memo.programHash = installedHash;
    }
    if (const install::ReplaceResult kept = installation_.keepMemo(memo.text()); !kept)
        runlog::write(text::replaceCause(kept).logged());
}

}  // namespace adv
