#include "app/channel/ReleaseIndex.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "app/channel/ServerLayout.h"
#include "app/core/KeyValueText.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

constexpr std::string_view kPaused = "pausa";
constexpr std::array<std::string_view, 7> kKeys{"format", "release", "size", "hash", "signed", "rollout", "withdrawn"};

template <class Number>
std::optional<Number> number(std::string_view text, Number min, Number max)
{
    Number n{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < min || n > max)
        return std::nullopt;
    return n;
}

}  // namespace

std::optional<Rollout> Rollout::parse(std::string_view text)
{
    if (text == kPaused)
        return Rollout{{Stage{}}, true};
    Rollout plan{{}, false};
    for (const std::string_view part : split(text, ',')) {
        const auto at = part.find('@');
        Stage stage;
        const auto percent = number<int>(part.substr(0, at), 1, 100);
        if (!percent)
            return std::nullopt;
        stage.percent = *percent;
        if (at != std::string_view::npos) {
            const std::string_view delay = part.substr(at + 1);
            if (!delay.ends_with('h'))
                return std::nullopt;
            const auto hours = number<int>(delay.substr(0, delay.size() - 1), 0, 24 * 366);
            if (!hours)
                return std::nullopt;
            stage.delay = std::chrono::hours(*hours);
        }
        if (!plan.stages.empty() &&
            (stage.percent <= plan.stages.back().percent || stage.delay <= plan.stages.back().delay))
            return std::nullopt;
        plan.stages.push_back(stage);
    }
    if (plan.stages.back().percent != 100)
        return std::nullopt;
    return plan;
}

std::string Rollout::text() const
{
    if (paused)
        return std::string(kPaused);
    std::string out;
    for (const Stage& stage : stages) {
        if (!out.empty())
            out += ',';
        out += std::to_string(stage.percent) + '@' + std::to_string(stage.delay.count()) + 'h';
    }
    return out;
}

std::string ReleaseIndex::text() const
{
    std::string withdrawnText;
    for (const minisign::Hash& one : withdrawn) {
        if (!withdrawnText.empty())
            withdrawnText += ',';
        withdrawnText += minisign::toHex(one);
    }
    return "# AggiornaDV: the release sites take, written by --publish; signed beside it\n"
           "format = " +
           std::to_string(kFormat) + "\nrelease = " + release + "\nsize = " + std::to_string(size) +
           "\nhash = " + minisign::toHex(hash) + "\nsigned = " + std::to_string(signedAt) +
           "\nrollout = " + rollout.text() + "\nwithdrawn = " + withdrawnText + "\n";
}

ReadIndex readReleaseIndex(std::string_view text)
{
    const KeyValues read = readKeyValues(text, kKeys);
    const auto refused = [](int line, std::string_view key, const QString& what) {
        return ReadIndex{std::nullopt, u"riga %1%2: %3"_s.arg(line).arg(
                                           key.empty() ? QString() : u", chiave "_s + QString::fromLatin1(key), what)};
    };
    if (!read)
        return refused(read.badLine, read.badKey, read.cause.text);
    ReleaseIndex index;
    std::array<bool, kKeys.size()> given{};
    for (const KeyValue& value : read.values) {
        const auto slot = std::size_t(std::find(kKeys.begin(), kKeys.end(), value.key) - kKeys.begin());
        given[slot] = true;
        bool ok = true;
        if (value.key == "format") {
            const auto format = number<int>(value.value, 1, 1 << 20);
            if (format > ReleaseIndex::kFormat)
                return refused(value.line, value.key,
                               u"l'indice è in una forma più recente di quella che questo AggiornaDV legge"_s);
            ok = format.has_value();
        } else if (value.key == "release") {
            ok = isReleasePath(value.value);
            index.release = value.value;
        } else if (value.key == "size") {
            const auto size = number<std::int64_t>(value.value, 1, std::int64_t{1} << 40);
            ok = size.has_value();
            index.size = size.value_or(0);
        } else if (value.key == "hash") {
            const auto hash = minisign::hashFromHex(value.value);
            ok = hash.has_value();
            index.hash = hash.value_or(minisign::Hash{});
        } else if (value.key == "signed") {
            const auto at = number<std::int64_t>(value.value, 1, std::int64_t{1} << 40);
            ok = at.has_value();
            index.signedAt = at.value_or(0);
        } else if (value.key == "rollout") {
            const auto plan = Rollout::parse(value.value);
            ok = plan.has_value();
            index.rollout = plan.value_or(Rollout{});
        } else if (!value.value.empty()) {
            for (const std::string_view one : split(value.value, ',')) {
                const auto hash = minisign::hashFromHex(one);
                ok = ok && hash.has_value();
                index.withdrawn.push_back(hash.value_or(minisign::Hash{}));
            }
        }
        if (!ok)
            return refused(value.line, value.key, u"valore non valido: \"%1\""_s.arg(shownValue(value.value)));
    }
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (!given[i])
            return refused(0, kKeys[i], u"manca"_s);
    }
    return {index, {}};
}

std::string sealedIndex(const std::string& signature, const std::string& text)
{
    return signature + text;
}

std::optional<std::pair<std::string, std::string>> openedIndex(std::string_view stored)
{
    std::size_t end = 0;
    for (int line = 0; line < 4; ++line) {
        end = stored.find('\n', end);
        if (end == std::string_view::npos)
            return std::nullopt;
        ++end;
    }
    return std::pair{std::string(stored.substr(0, end)), std::string(stored.substr(end))};
}

StoredIndex readStoredIndex(std::string_view stored, const std::optional<minisign::PublicKey>& key)
{
    StoredIndex read;
    const auto parts = openedIndex(stored);
    if (!parts) {
        read.cause = u"l'indice non è nella forma che --publish scrive"_s;
        return read;
    }
    if (key) {
        const minisign::Checked checked = minisign::Signature::check(parts->first, *key, kIndexName);
        const minisign::Check genuine =
            checked.signature ? checked.signature->verifies(minisign::hashOf(parts->second)) : checked.check;
        if (!genuine) {
            read.cause = {u"l'indice non è firmato dal produttore"_s, QString::fromStdString(genuine.detail)};
            return read;
        }
        read.authentic = true;
        read.signedAt = checked.signature->timestamp();
    }
    ReadIndex text = readReleaseIndex(parts->second);
    read.index = std::move(text.index);
    read.cause = std::move(text.cause);
    return read;
}

}  // namespace adv
