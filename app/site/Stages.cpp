#include "app/site/Stages.h"

#include <QDir>
#include <QFileInfo>

#include <sodium.h>

#include <algorithm>
#include <array>

#include "app/core/RunLog.h"
#include "app/site/KeptFile.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// An id is one line; anything longer than this is not one, and is not read on.
constexpr std::size_t kMaxKeptBytes = 256;

// The charset the configuration's site_id allows, so that a kept id and a
// configured one are written into the log and the hash alike.
bool isSiteId(std::string_view text)
{
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.';
    });
}

std::string drawnId()
{
    // Idempotent; without randomness from the OS randombytes_buf aborts
    // rather than hand out a predictable id.
    static const int once = sodium_init();
    (void)once;
    std::array<unsigned char, 16> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    std::array<char, 2 * 16 + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
    return std::string(hex.data(), 2 * 16);
}

SiteId fresh(const QString& why)
{
    return {drawnId(), why};
}

}  // namespace

int sitePlace(std::string_view siteId, const minisign::Hash& release)
{
    // BLAKE2b's shortest output here is 16 bytes; the first 8 are plenty.
    crypto_generichash_state state;
    std::array<unsigned char, crypto_generichash_BYTES_MIN> out{};
    crypto_generichash_init(&state, nullptr, 0, out.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(siteId.data()), siteId.size());
    crypto_generichash_update(&state, release.data(), release.size());
    crypto_generichash_final(&state, out.data(), out.size());
    // Little-endian by hand, so every machine gives a site the same place;
    // 2^64 % 100 leaves a bias of about 1e-17.
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;)
        value = (value << 8) | out[i];
    return static_cast<int>(value % 100);
}

std::optional<std::int64_t> dueFrom(const ReleaseIndex& index, int place, SiteGroup group)
{
    const auto& stages = index.rollout.stages;
    if (index.rollout.paused || stages.empty())
        return std::nullopt;
    auto stage = stages.end() - 1;
    if (group == SiteGroup::Pilot)
        stage = stages.begin();
    else if (group == SiteGroup::Normal)
        stage = std::find_if(stages.begin(), stage, [place](const Rollout::Stage& s) { return s.percent > place; });
    return index.signedAt + std::chrono::duration_cast<std::chrono::seconds>(stage->delay).count();
}

QString siteIdFile(const Config& config)
{
    // A disabled log still leaves the id a place of its own.
    const QString log = config.logFile && !config.logFile->isEmpty() ? *config.logFile : runlog::defaultPath();
    return QDir::toNativeSeparators(QFileInfo(log).absolutePath() + u"/AggiornaDV.site-id"_s);
}

SiteId siteId(const Config& config, const QString& keptFile)
{
    if (!config.siteId.empty())
        return {config.siteId, {}};

    const QString shown = QDir::toNativeSeparators(QFileInfo(keptFile).absoluteFilePath());
    const QString notKept = u"l'identificativo del sito non si può conservare in %1 (%2): ogni esecuzione ne "
                            u"estrae uno nuovo"_s;
    // Whoever else may write the file or its folder could choose this
    // site's place.
    const KeptText kept = readKept(keptFile, kMaxKeptBytes);
    if (!kept.problem.isEmpty())
        return fresh(notKept.arg(shown, kept.problem));
    if (kept.text) {
        std::string text = *kept.text;
        if (text.ends_with('\n'))
            text.pop_back();
        if (text.ends_with('\r'))
            text.pop_back();
        // Left as it is, for whoever wants to see what was there.
        if (!isSiteId(text))
            return fresh(notKept.arg(shown, u"il contenuto non è un identificativo valido"_s));
        return {text, {}};
    }

    SiteId drawn{drawnId(), {}};
    if (const QString problem = writeKept(keptFile, drawn.id + '\n'); !problem.isEmpty())
        drawn.cause = notKept.arg(shown, problem);
    return drawn;
}

int placeFor(const Config& config, const ReleaseIndex& index)
{
    const SiteId site = siteId(config, siteIdFile(config));
    if (!site.cause.isEmpty())
        runlog::write(site.cause.logged());
    return sitePlace(site.id, index.hash);
}

}  // namespace adv
