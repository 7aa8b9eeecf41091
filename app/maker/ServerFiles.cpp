#include "app/maker/ServerFiles.h"

#include <algorithm>
#include <utility>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/core/KeyValueText.h"

namespace adv {

namespace {

constexpr std::int64_t kMaxListingBytes = 1024 * 1024;

}  // namespace

void ReleaseFiles::describe(ReleaseIndex& index) const
{
    index.size = static_cast<std::int64_t>(program.size());
    index.hash = hash;
    index.signedAt = signedAt;
}

bool ReleaseFiles::describedBy(const ReleaseIndex& index) const
{
    return index.hash == hash && index.size == static_cast<std::int64_t>(program.size());
}

std::vector<std::string> listedNames(std::string_view listing)
{
    std::vector<std::string> names;
    for (const std::string_view line : linesOf(listing)) {
        if (!line.empty())
            names.emplace_back(line);
    }
    return names;
}

bool ServerFiles::enter(std::string_view below)
{
    return bool(
        ftp_.EnterRemoteFolder(below.empty() ? config_.remoteFolder : config_.remoteFolder + "/" + std::string(below)));
}

platform::FtpResult ServerFiles::open(std::function<bool()> stopped)
{
    ftp_.setHostname(config_.host);
    ftp_.setUsername(config_.user);
    ftp_.setPassword(config_.password);
    ftp_.setInterruptCheck(std::move(stopped));
    platform::FtpResult step = ftp_.OpenSession();
    return step ? ftp_.EnterRemoteFolder(config_.remoteFolder) : step;
}

bool ServerFiles::enterMade(std::string_view below, platform::FtpResult& made)
{
    if (enter(below))
        return true;
    // Made below the remote folder, wherever the session stood.
    if (!enter())
        return false;
    made = ftp_.MakeFolder(std::string(below));
    return made && enter(below);
}

std::optional<std::string> ServerFiles::fetch(const std::string& name, std::int64_t limit)
{
    platform::MemorySink sink(static_cast<std::size_t>(limit));
    if (!ftp_.FetchFile(name, sink))
        return std::nullopt;
    return sink.contents();
}

std::vector<std::string> ServerFiles::namesIn(std::string_view folder)
{
    std::vector<std::string> names;
    platform::MemorySink listing(kMaxListingBytes);
    if (enter(folder) && ftp_.FetchListing(listing))
        names = listedNames(listing.contents());
    enter();
    std::sort(names.begin(), names.end());
    return names;
}

// A refused rename of a file that has gone is no reason to move the one in
// place aside: the caller asks first.
bool ServerFiles::listed(std::string_view name)
{
    platform::MemorySink listing(kMaxListingBytes);
    if (!ftp_.FetchListing(listing))
        return false;
    const std::vector<std::string> names = listedNames(listing.contents());
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::vector<std::string> ServerFiles::releaseNames()
{
    std::vector<std::pair<std::int64_t, std::string>> releases;
    for (std::string& name : namesIn(kReleaseFolderName)) {
        if (const auto at = releaseTime(name))
            releases.emplace_back(*at, std::move(name));
    }
    std::sort(releases.begin(), releases.end());
    std::vector<std::string> names;
    for (auto& release : releases)
        names.push_back(std::move(release.second));
    return names;
}

bool ServerFiles::looksLike(const std::string& name, const ReleaseIndex& index)
{
    platform::FtpPublishSession::Facts facts;
    const std::optional<std::string> signature = fetch(signatureName(name), minisign::kMaxSignatureBytes);
    if (!signature || !ftp_.AskAbout(name, facts) || facts.size != index.size)
        return false;
    const minisign::Checked checked = minisign::Signature::check(*signature, *config_.publicKey, kUpdatedProgram);
    return checked.signature && checked.signature->timestamp() == index.signedAt &&
           checked.signature->verifies(index.hash);
}

std::optional<ReleaseFiles> ServerFiles::keptRelease(std::string_view path)
{
    const std::string name(releaseFileOf(path));
    std::optional<std::string> program, signature;
    if (enter(kReleaseFolderName) && (program = fetch(name, config_.ftp.maxDownloadBytes)))
        signature = fetch(signatureName(name), minisign::kMaxSignatureBytes);
    enter();
    if (!signature)
        return std::nullopt;
    const minisign::Checked checked = minisign::Signature::check(*signature, *config_.publicKey, kUpdatedProgram);
    const minisign::Hash hash = minisign::hashOf(*program);
    if (!checked.signature || !checked.signature->verifies(hash))
        return std::nullopt;
    return ReleaseFiles{std::move(*program), std::move(*signature), hash, checked.signature->timestamp()};
}

}  // namespace adv
