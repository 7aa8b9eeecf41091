#include "app/channel/ReleaseIndex.h"

#include <algorithm>
#include <array>

#include "app/channel/ServerLayout.h"
#include "app/core/KeyValueText.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

constexpr std::string_view kPaused = "pausa";
constexpr std::array<std::string_view, 7> kKeys{"format", "release", "size", "hash", "signed", "rollout", "withdrawn"};
// The notes' prefix, and the notes this reader knows.
constexpr std::string_view kNote = "#: ";
constexpr std::array<std::string_view, 6> kNoteKeys{"replaces", "from",       "kept_plan",
                                                    "reached",  "valid_days", "refresh_key"};
// A key a later publisher marks so that no reader may skip it.
constexpr char kRequired = '!';
constexpr int kMaxValidDays = 366;

// The plan, or what is wrong with it.
std::optional<Rollout> parsePlan(std::string_view text, QString& problem)
{
    if (text == kPaused)
        return Rollout{{Rollout::Stage{}}, true};
    Rollout plan{{}, false};
    for (const std::string_view part : split(text, ',')) {
        const auto at = part.find('@');
        const QString shown = u"\"%1\""_s.arg(shownValue(part));
        Rollout::Stage stage;
        const auto percent = decimal<int>(part.substr(0, at), 1, 100);
        if (!percent) {
            problem = u"%1: la percentuale va da 1 a 100"_s.arg(shown);
            return std::nullopt;
        }
        stage.percent = *percent;
        if (at != std::string_view::npos) {
            const std::string_view delay = part.substr(at + 1);
            const auto hours = delay.ends_with('h') ? decimal<int>(delay.substr(0, delay.size() - 1), 0, kMaxDelayHours)
                                                    : std::nullopt;
            if (!hours) {
                problem =
                    u"%1: il ritardo va in ore, da 0h a %2h (es. 48h per due giorni)"_s.arg(shown).arg(kMaxDelayHours);
                return std::nullopt;
            }
            stage.delay = std::chrono::hours(*hours);
        }
        if (!plan.stages.empty() &&
            (stage.percent <= plan.stages.back().percent || stage.delay <= plan.stages.back().delay)) {
            problem = u"%1: percentuali e ritardi devono crescere da uno stadio al successivo"_s.arg(shown);
            return std::nullopt;
        }
        plan.stages.push_back(stage);
    }
    if (plan.stages.back().percent != 100) {
        problem = u"l'ultimo stadio deve essere 100"_s;
        return std::nullopt;
    }
    return plan;
}

}  // namespace

std::optional<Rollout> Rollout::parse(std::string_view text)
{
    QString problem;
    return parsePlan(text, problem);
}

QString Rollout::problem(std::string_view text)
{
    QString problem;
    parsePlan(text, problem);
    return problem;
}

Rollout Rollout::shifted(std::int64_t hours) const
{
    Rollout later = *this;
    for (Stage& stage : later.stages)
        stage.delay += std::chrono::hours(hours);
    return later;
}

int Rollout::reachedAt(std::int64_t from, std::int64_t at) const
{
    int reached = 0;
    for (const Stage& stage : paused ? std::vector<Stage>{} : stages) {
        if (from + std::chrono::seconds(stage.delay).count() <= at)
            reached = stage.percent;
    }
    return reached;
}

Rollout Rollout::resumedFrom(int reached) const
{
    Rollout resumed{{}, false};
    std::chrono::hours base{0};
    for (const Stage& stage : stages) {
        if (stage.percent <= reached)
            base = stage.delay;
    }
    for (const Stage& stage : stages) {
        if (stage.percent > reached)
            resumed.stages.push_back(Stage{stage.percent, stage.delay - base});
    }
    // The sites reached so far keep their release at once; a plan whose next
    // stage comes at once too already covers them (two stages at one time
    // would be a plan no site reads).
    if (reached > 0 && (resumed.stages.empty() || resumed.stages.front().delay > std::chrono::hours(0)))
        resumed.stages.insert(resumed.stages.begin(), Stage{reached, std::chrono::hours(0)});
    return resumed;
}

bool Rollout::everyoneAt(std::int64_t from, std::int64_t at) const
{
    return reachedAt(from, at) == 100;
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
           "\nrollout = " + rollout.text() + "\nwithdrawn = " + withdrawnText + "\n" + notesText();
}

std::string ReleaseIndex::notesText() const
{
    const std::string note(kNote);
    std::string out;
    if (replaces)
        out += note + "replaces = " + minisign::toHex(*replaces) + "\n";
    if (from)
        out += note + "from = " + std::to_string(from) + "\n";
    if (keptPlan)
        out += note + "kept_plan = " + keptPlan->text() + "\n" + note + "reached = " + std::to_string(reached) + "\n";
    if (validDays)
        out += note + "valid_days = " + std::to_string(validDays) + "\n";
    if (refreshKey)
        out += note + "refresh_key = " + minisign::publicKeyLine(*refreshKey) + "\n";
    return out;
}

bool ReleaseIndex::isWithdrawn(const minisign::Hash& one) const
{
    return std::find(withdrawn.begin(), withdrawn.end(), one) != withdrawn.end();
}

namespace {

// The notes this reader knows, taken from their comment lines; a note it
// does not know, or cannot read, is left as the comment it is to older sites.
void readNotes(std::string_view text, ReleaseIndex& index)
{
    std::string known;
    for (const std::string_view line : linesOf(text)) {
        if (!line.starts_with(kNote))
            continue;
        const std::string_view note = line.substr(kNote.size());
        const std::string_view key = trimmed(note.substr(0, note.find('=')));
        if (std::find(kNoteKeys.begin(), kNoteKeys.end(), key) != kNoteKeys.end())
            known.append(note).append("\n");
    }
    const KeyValues read = readKeyValues(known, kNoteKeys);
    for (const KeyValue& value : read ? read.values : std::vector<KeyValue>{}) {
        if (value.key == "replaces")
            index.replaces = minisign::hashFromHex(value.value);
        else if (value.key == "from")
            index.from = decimal<std::int64_t>(value.value, 1, std::int64_t{1} << 40).value_or(0);
        else if (value.key == "kept_plan")
            index.keptPlan = Rollout::parse(value.value);
        else if (value.key == "valid_days")
            // A bound this reader cannot read still bounds: the shortest.
            index.validDays = decimal<int>(value.value, 1, kMaxValidDays).value_or(1);
        else if (value.key == "refresh_key")
            index.refreshKey = minisign::parsePublicKey(value.value);
        else
            index.reached = decimal<int>(value.value, 0, 100).value_or(0);
    }
    if (!index.keptPlan)
        index.reached = 0;
}

ReadIndex refused(int line, std::string_view key, const QString& what)
{
    return ReadIndex{std::nullopt, u"riga %1%2: %3"_s.arg(line).arg(
                                       key.empty() ? QString() : u", chiave "_s + shownValue(key), what)};
}

bool isKnown(std::string_view key)
{
    return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end();
}

// A verified index as this reader reads it: the keys it does not know
// blanked out (so that every line keeps its number), a marked key it knows
// unmarked; or the first marked key it does not know.
std::optional<ReadIndex> grown(std::string_view text, std::string& known)
{
    int number = 0;
    for (std::string_view line : linesOf(text)) {
        ++number;
        if (number == 1 && line.starts_with("\xEF\xBB\xBF"))
            line.remove_prefix(3);
        const auto equals = line.find('=');
        const std::string_view key = trimmed(line.substr(0, equals));
        const bool comment = key.starts_with('#') || key.starts_with(';');
        if (equals != std::string_view::npos && !comment && !isKnown(key)) {
            if (!key.starts_with(kRequired))
                line = {};
            else if (isKnown(key.substr(1)))
                line = line.substr(line.find(kRequired) + 1);
            else
                return refused(number, key, u"l'indice richiede una chiave che questo AggiornaDV non conosce"_s);
        }
        known.append(line).append("\n");
    }
    return std::nullopt;
}

// "1", and for a verified index a later minor form of it, "1.N".
std::optional<int> majorFormat(std::string_view value, bool verified)
{
    const auto dot = value.find('.');
    if (dot != std::string_view::npos) {
        const std::string_view minor = value.substr(dot + 1);
        if (!verified || minor.empty() ||
            !std::all_of(minor.begin(), minor.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
    }
    return decimal<int>(value.substr(0, dot), 1, 1 << 20);
}

}  // namespace

ReadIndex readReleaseIndex(std::string_view text, bool verified)
{
    std::string known;
    if (verified) {
        if (std::optional<ReadIndex> refusal = grown(text, known))
            return std::move(*refusal);
        text = known;
    }
    const KeyValues read = readKeyValues(text, kKeys);
    if (!read)
        return refused(read.badLine, read.badKey, read.cause.text);
    ReleaseIndex index;
    std::array<bool, kKeys.size()> given{};
    for (const KeyValue& value : read.values) {
        const auto slot = std::size_t(std::find(kKeys.begin(), kKeys.end(), value.key) - kKeys.begin());
        given[slot] = true;
        bool ok = true;
        if (value.key == "format") {
            const auto format = majorFormat(value.value, verified);
            if (format > ReleaseIndex::kFormat)
                return refused(value.line, value.key,
                               u"l'indice è in una forma più recente di quella che questo AggiornaDV legge"_s);
            ok = format.has_value();
        } else if (value.key == "release") {
            ok = isReleasePath(value.value);
            index.release = value.value;
        } else if (value.key == "size") {
            const auto size = decimal<std::int64_t>(value.value, 1, std::int64_t{1} << 40);
            ok = size.has_value();
            index.size = size.value_or(0);
        } else if (value.key == "hash") {
            const auto hash = minisign::hashFromHex(value.value);
            ok = hash.has_value();
            index.hash = hash.value_or(minisign::Hash{});
        } else if (value.key == "signed") {
            const auto at = decimal<std::int64_t>(value.value, 1, std::int64_t{1} << 40);
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
    readNotes(text, index);
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
    read.textHash = minisign::hashOf(parts->second);
    ReadIndex text = readReleaseIndex(parts->second, read.authentic);
    read.index = std::move(text.index);
    read.cause = std::move(text.cause);
    return read;
}

}  // namespace adv
