#include "app/maker/PublishCommand.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QSysInfo>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "app/core/KeyValueText.h"
#include "app/channel/Minisign.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Dates.h"
#include "app/maker/SecretKey.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

using text::q;

constexpr std::int64_t kLockTakenOverAfter = 60 * 60;
// Files this small are read back once more after their rename: the index and
// the signatures, the files sites judge everything else by.
constexpr std::size_t kCheckedAfterRename = 64 * 1024;

// A local file, whole, or why not; bounded as a download is.
std::optional<std::string> readLocal(const QString& path, std::int64_t limit, QString& why)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        why = u"il file %1 non si può leggere"_s.arg(path);
        return std::nullopt;
    }
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit || bytes.isEmpty()) {
        why = u"il file %1 è vuoto o più grande di %2 byte"_s.arg(path).arg(limit);
        return std::nullopt;
    }
    return bytes.toStdString();
}

// A stored index whose signature is the maker's and whose text reads.
std::optional<StoredIndex> genuineIndex(std::string_view stored, const minisign::PublicKey& key)
{
    StoredIndex read = readStoredIndex(stored, key);
    return read.authentic && read.index ? std::optional(std::move(read)) : std::nullopt;
}

// The bytes read back, hashed as they come.
class HashingSink final : public platform::FtpSink {
public:
    explicit HashingSink(std::int64_t capacity) : capacity_(capacity) {}
    platform::FtpResult take(const char* data, std::size_t size) override
    {
        bytes_.append(data, size);
        return {};
    }
    std::int64_t capacity() const override { return capacity_; }
    const std::string& bytes() const { return bytes_; }

private:
    std::int64_t capacity_;
    std::string bytes_;
};

class Publisher {
public:
    Publisher(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config, std::int64_t now)
        : ui_(ui), ftp_(ftp), config_(config), now_(now)
    {
    }

    PublishReport run(const PublishRequest& request, const std::function<std::optional<std::string>()>& askPassword)
    {
        if (request.action == PublishAction::Status) {
            if (!config_.publicKey)
                return refused(u"manca public_key nella configurazione: i file del server si controllano con essa"_s);
            if (auto failed = connect())
                return *failed;
            PublishReport report = status();
            ftp_.CloseSession();
            return report;
        }
        if (auto refused = openKey(askPassword))
            return *refused;
        if (request.action == PublishAction::Release) {
            if (auto refused = signProgram(request))
                return *refused;
        }
        if (auto failed = connect())
            return *failed;
        if (auto locked = lock())
            return *locked;
        std::optional<PublishReport> failed = offered();
        if (!failed) {
            switch (request.action) {
            case PublishAction::Release: failed = release(request.rollout); break;
            case PublishAction::ChangeRollout: failed = changeRollout(request.rollout); break;
            case PublishAction::Withdraw: failed = withdraw(); break;
            case PublishAction::Status: break;
            }
        }
        if (!failed)
            prune();
        unlock();
        ftp_.CloseSession();
        if (failed)
            return *failed;
        say(u"Fatto: i siti ora seguono %1 (%2)"_s.arg(q(index_.release), q(index_.rollout.text())));
        return {PublishOutcome::Published, {}};
    }

private:
    void say(const QString& line) { ui_.AppendStatus(line); }

    static PublishReport refused(Cause why) { return {PublishOutcome::Refused, std::move(why)}; }
    // What failed, and the session's own cause after it.
    PublishReport serverFailure(const platform::FtpResult& why, const QString& what)
    {
        const Cause session = text::ftpCause(why, config_);
        return {PublishOutcome::ServerFailed, Cause(what + u": "_s + session.text, session.detail)};
    }

    // The key, checked against the one sites trust before anything is sent.
    std::optional<PublishReport> openKey(const std::function<std::optional<std::string>()>& askPassword)
    {
        if (!config_.publicKey)
            return refused(u"manca public_key nella configurazione: la pubblicazione si controlla con essa"_s);
        if (config_.signingKey.isEmpty())
            return refused(u"manca signing_key nella configurazione"_s);
        QString why;
        auto keyText = readLocal(config_.signingKey, 64 * 1024, why);
        if (!keyText)
            return refused(why);
        std::string password;
        if (minisign::SecretKey::sealed(*keyText).value_or(false)) {
            std::optional<std::string> given = askPassword();
            if (!given)
                return refused(u"nessuna password per la chiave segreta"_s);
            password = std::move(*given);
        }
        minisign::SecretKeyRead opened = minisign::SecretKey::read(*keyText, password);
        // An open key's file is the key itself.
        std::fill(password.begin(), password.end(), '\0');
        std::fill(keyText->begin(), keyText->end(), '\0');
        if (!opened.key)
            return refused(text::because(u"la chiave segreta non si può usare"_s, opened.check.failure));
        const minisign::PublicKey own = opened.key->publicKey();
        if (own.id != config_.publicKey->id || own.key != config_.publicKey->key)
            return refused(u"la chiave segreta non è quella di public_key: i siti rifiuterebbero la versione"_s);
        key_.emplace(std::move(*opened.key));
        return std::nullopt;
    }

    // The program and its signature, checked as sites will check them.
    std::optional<PublishReport> signProgram(const PublishRequest& request)
    {
        QString why;
        const auto program = readLocal(request.program, config_.ftp.maxDownloadBytes, why);
        if (!program)
            return refused(why);
        program_ = *program;
        const minisign::Hash hash = minisign::hashOf(program_);
        if (request.signatureFile.isEmpty()) {
            signature_ = key_->sign(hash, minisign::trustedComment(now_, kUpdatedProgram));
        } else {
            const auto given = readLocal(request.signatureFile, minisign::kMaxSignatureBytes, why);
            if (!given)
                return refused(why);
            signature_ = *given;
        }
        const minisign::Checked checked = minisign::Signature::check(signature_, *config_.publicKey, kUpdatedProgram);
        if (!checked.signature)
            return refused(text::because(u"la firma non è valida"_s, checked.check.failure));
        if (const minisign::Check genuine = checked.signature->verifies(hash); !genuine)
            return refused(text::because(u"la firma non è di questo programma"_s, genuine.failure));

        index_.size = static_cast<std::int64_t>(program_.size());
        index_.hash = hash;
        index_.signedAt = checked.signature->timestamp();
        // Sites refuse a release dated ahead of their clock, and a later one
        // could not be published over it.
        if (index_.signedAt - now_ > kFutureSlackSeconds)
            return refused(u"la firma è datata più di un giorno dopo l'orologio di questo computer"_s);
        index_.release = releasePath(releaseFileName(index_.signedAt, hash));
        say(u"Programma firmato %1: %2"_s.arg(text::onDate(index_.signedAt), q(index_.release)));
        return std::nullopt;
    }

    std::optional<PublishReport> connect()
    {
        ftp_.setHostname(config_.host);
        ftp_.setUsername(config_.user);
        ftp_.setPassword(config_.password);
        ftp_.setInterruptCheck([this] { return ui_.stopRequested(); });
        say(u"Collegamento a %1"_s.arg(q(config_.host)));
        if (const platform::FtpResult opened = ftp_.OpenSession(); !opened)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(opened, config_)};
        if (const platform::FtpResult entered = ftp_.EnterRemoteFolder(config_.remoteFolder); !entered)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(entered, config_)};
        return std::nullopt;
    }

    bool enter(std::string_view below)
    {
        return bool(ftp_.EnterRemoteFolder(below.empty() ? config_.remoteFolder
                                                         : config_.remoteFolder + "/" + std::string(below)));
    }

    // A folder made is the lock: making one is the server's own test-and-set.
    // Inside, who holds it and since when; an hour later it is taken over.
    // Who holds the lock, as its owner file says; empty when it says nothing.
    std::string lockOwner()
    {
        HashingSink held(1024);
        const bool read = enter(kLockFolderName) && ftp_.FetchFile(std::string(kLockOwner), held);
        enter({});
        return read ? held.bytes() : std::string();
    }

    std::optional<PublishReport> lock()
    {
        owner_ = QSysInfo::machineHostName().toStdString() + " pid " +
                 std::to_string(QCoreApplication::applicationPid()) + " " + std::to_string(now_) + "\n";
        if (!ftp_.MakeFolder(kLockFolderName)) {
            // A publisher that has just made the folder writes its owner at
            // once: an owner that stays missing is one cut before it wrote it.
            std::string held = lockOwner();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (held.empty() && std::chrono::steady_clock::now() < deadline && !ui_.stopRequested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                held = lockOwner();
            }
            const auto space = held.rfind(' ');
            const std::int64_t since = space != std::string::npos ? std::atoll(held.c_str() + space + 1) : 0;
            // A clock ahead of ours or behind it: an hour either way.
            if (!held.empty() && std::llabs(now_ - since) < kLockTakenOverAfter)
                return PublishReport{PublishOutcome::Locked,
                                     u"un'altra pubblicazione è in corso (%1)"_s.arg(shownValue(held))};
            say(u"Pubblicazione precedente interrotta: il blocco viene ripreso"_s);
        }
        if (!enter(kLockFolderName) || !ftp_.PutFile(std::string(kLockOwner), owner_) || !enter({}))
            return PublishReport{PublishOutcome::ServerFailed, u"impossibile scrivere il blocco sul server"_s};
        // Two that took over a stale lock together: the last to write holds it.
        if (!stillOurs())
            return PublishReport{PublishOutcome::Locked, u"un'altra pubblicazione ha preso il blocco"_s};
        locked_ = true;
        return std::nullopt;
    }

    bool stillOurs() { return lockOwner() == owner_; }

    // Checked before each rename sites can see: a publish that lost the
    // lock (it ran past the hour, and another took it over) changes nothing more.
    std::optional<PublishReport> holdingTheLock()
    {
        if (stillOurs())
            return std::nullopt;
        locked_ = false;
        return PublishReport{PublishOutcome::Locked,
                             u"il blocco è passato a un'altra pubblicazione: da qui nulla è stato reso visibile"_s};
    }

    void unlock()
    {
        if (!locked_ || !stillOurs() || !enter(kLockFolderName))
            return;
        (void)ftp_.Delete(std::string(kLockOwner));
        if (enter({}))
            (void)ftp_.RemoveFolder(kLockFolderName);
    }

    // The release on the server now: from its index, else from the pair
    // today's sites read.
    std::optional<PublishReport> offered()
    {
        HashingSink stored(kMaxIndexBytes);
        std::int64_t served = 0;
        if (ftp_.FetchFile(kIndexName, stored)) {
            const std::optional<StoredIndex> genuine = genuineIndex(stored.bytes(), *config_.publicKey);
            if (!genuine)
                return refused(u"l'indice sul server non è firmato con questa chiave o è danneggiato: nulla è stato "
                               u"cambiato"_s);
            offeredAt_ = genuine->index->signedAt;
            previous_ = genuine->index;
            served = genuine->signedAt;
        }
        if (const std::int64_t last = lastSignedHere(); last > served)
            return PublishReport{
                PublishOutcome::ServerFailed,
                u"il server non offre l'indice che questa macchina ha pubblicato %1, ma uno più vecchio o nessuno: "
                u"nulla è stato cambiato (se il server è stato rifatto da capo, togliere %2)"_s.arg(text::onDate(last),
                                                                                                    memoryPath())};
        if (!previous_) {
            HashingSink legacy(minisign::kMaxSignatureBytes);
            const std::string name = signatureName(kUpdatedProgram);
            if (ftp_.FetchFile(name, legacy)) {
                const minisign::Checked checked =
                    minisign::Signature::check(legacy.bytes(), *config_.publicKey, kUpdatedProgram);
                offeredAt_ = checked.signature ? checked.signature->timestamp() : 0;
            }
        }
        return std::nullopt;
    }

    // Nothing older may be published over what the server offers.
    std::optional<PublishReport> release(const Rollout& rollout)
    {
        if (offeredAt_ >= index_.signedAt)
            return refused(u"il server offre già una versione firmata %1, non precedente a questa (%2)"_s.arg(
                text::onDate(offeredAt_), text::shownDate(index_.signedAt)));
        if (previous_)
            index_.withdrawn = previous_->withdrawn;
        std::optional<PublishReport> failed = putRelease();
        if (!failed)
            failed = putIndex(rollout);
        if (!failed && goesToEverySite(rollout))
            failed = putLegacyPair();
        return failed;
    }

    // The current release under another plan; once it reaches every site,
    // also as the pair today's sites read.
    std::optional<PublishReport> changeRollout(const Rollout& rollout)
    {
        if (!previous_)
            return refused(u"sul server non c'è un indice: pubblicare prima una versione con --publish"_s);
        index_ = *previous_;
        std::optional<PublishReport> failed = goesToEverySite(rollout) ? fetchRelease(index_) : std::nullopt;
        // What the server keeps under the release's name must be the release
        // the index names, not another the maker signed once.
        if (!failed && (index_.hash != previous_->hash || index_.size != previous_->size))
            failed = PublishReport{PublishOutcome::ServerFailed,
                                   u"la versione %1 sul server non è quella dell'indice"_s.arg(q(index_.release))};
        if (!failed)
            failed = putIndex(rollout);
        if (!failed && goesToEverySite(rollout))
            failed = putLegacyPair();
        return failed;
    }

    // The newest kept release before the current one becomes current, for
    // every site, and the current one is listed as withdrawn: a signed
    // decision of the maker, the one way sites go back past their floor.
    std::optional<PublishReport> withdraw()
    {
        if (!previous_)
            return refused(u"sul server non c'è un indice: nulla da ritirare"_s);
        const std::string current = std::string(releaseFileOf(previous_->release));
        // The newest before it that is older by its signature and was not
        // withdrawn itself: a release withdrawn once stays kept a while.
        const std::vector<std::string> names = releaseNames();
        std::optional<ReleaseIndex> found;
        for (auto name = names.rbegin(); name != names.rend() && !found; ++name) {
            if (releaseTime(*name) >= releaseTime(current))
                continue;
            ReleaseIndex candidate;
            candidate.release = releasePath(*name);
            if (auto failed = fetchRelease(candidate))
                return failed;
            if (candidate.signedAt < previous_->signedAt &&
                std::find(previous_->withdrawn.begin(), previous_->withdrawn.end(), candidate.hash) ==
                    previous_->withdrawn.end())
                found = candidate;
        }
        if (!found)
            return refused(u"sul server non resta una versione precedente a %1 a cui tornare"_s.arg(q(current)));
        ReleaseIndex older = *found;
        older.withdrawn = previous_->withdrawn;
        older.withdrawn.push_back(previous_->hash);
        index_ = older;
        HashingSink legacy(config_.ftp.maxDownloadBytes);
        if (ftp_.FetchFile(std::string(kUpdatedProgram), legacy) &&
            minisign::hashOf(legacy.bytes()) == older.withdrawn.back())
            say(u"Attenzione: dolvo.exe sul server è la versione ritirata; i siti con un AggiornaDV che non legge "
                u"l'indice non possono tornare indietro, ma da ora ricevono la versione precedente"_s);
        std::optional<PublishReport> failed = putIndex(Rollout{});
        if (!failed)
            failed = putLegacyPair();
        return failed;
    }

    // What sites are offered, each file checked as a site would check it.
    PublishReport status()
    {
        QStringList problems;
        const auto check = [&problems, this](bool ok, const QString& line) {
            say((ok ? u"  ok  "_s : u"  NO  "_s) + line);
            if (!ok)
                problems << line;
        };
        HashingSink stored(kMaxIndexBytes);
        if (ftp_.FetchFile(kIndexName, stored)) {
            const std::optional<StoredIndex> genuine = genuineIndex(stored.bytes(), *config_.publicKey);
            check(genuine.has_value(),
                  u"indice %1, firmato %2"_s.arg(q(kIndexName), genuine ? text::onDate(genuine->signedAt) : u"il ?"_s));
            if (genuine) {
                const std::int64_t last = lastSignedHere();
                check(genuine->signedAt >= last,
                      u"indice non più vecchio dell'ultimo pubblicato da questa macchina (%1)"_s.arg(
                          last ? text::shownDate(last) : u"nessuno"_s));
                const ReleaseIndex& index = *genuine->index;
                ReleaseIndex fetched = index;
                check(!fetchRelease(fetched) && fetched.hash == index.hash && fetched.size == index.size,
                      u"versione attuale %1 (%2 byte, firmata %3)"_s.arg(q(index.release))
                          .arg(index.size)
                          .arg(text::onDate(index.signedAt)));
                say(u"  piano %1; %2 versioni ritirate"_s.arg(q(index.rollout.text())).arg(index.withdrawn.size()));
                for (const Rollout::Stage& stage :
                     index.rollout.paused ? std::vector<Rollout::Stage>{} : index.rollout.stages) {
                    const std::int64_t from = index.signedAt + stage.delay.count() * 3600;
                    say(u"  %1% dei siti %2%3"_s.arg(stage.percent)
                            .arg(text::fromDate(from))
                            .arg(from <= now_ ? u" (in corso)"_s : QString()));
                }
            }
        } else {
            say(u"  nessun indice sul server: i siti leggono solo dolvo.exe e la sua firma"_s);
        }
        HashingSink program(config_.ftp.maxDownloadBytes), signature(minisign::kMaxSignatureBytes);
        const std::string pair = signatureName(kUpdatedProgram);
        const bool fetched = ftp_.FetchFile(std::string(kUpdatedProgram), program) && ftp_.FetchFile(pair, signature);
        const minisign::Checked legacy =
            minisign::Signature::check(signature.bytes(), *config_.publicKey, kUpdatedProgram);
        check(fetched && legacy.signature && legacy.signature->verifies(minisign::hashOf(program.bytes())),
              u"%1 e %2, firmati il %3"_s.arg(q(kUpdatedProgram), q(pair))
                  .arg(legacy.signature ? text::shownDate(legacy.signature->timestamp()) : u"?"_s));
        for (const std::string_view folder : {std::string_view{}, kReleaseFolderName}) {
            for (const std::string& name : namesIn(folder)) {
                if (isLeftover(name, !folder.empty()))
                    check(false, u"resto di una pubblicazione interrotta: %1"_s.arg(q(name)));
            }
        }
        if (enter(kLockFolderName)) {
            enter({});
            check(false,
                  u"blocco %1 presente: una pubblicazione è in corso o si è interrotta"_s.arg(q(kLockFolderName)));
        }
        if (problems.isEmpty())
            return {PublishOutcome::Published, {}};
        return {PublishOutcome::Inconsistent, Cause(problems.join(u"; "_s))};
    }

    // A kept release's program and signature, checked with the maker's key:
    // the index made for it, and the pair today's sites read, come from them.
    std::optional<PublishReport> fetchRelease(ReleaseIndex& index)
    {
        HashingSink program(config_.ftp.maxDownloadBytes), signature(minisign::kMaxSignatureBytes);
        const std::string name = std::string(releaseFileOf(index.release));
        const bool fetched = enter(kReleaseFolderName) && ftp_.FetchFile(name, program) &&
                             ftp_.FetchFile(signatureName(name), signature);
        enter({});
        const minisign::Checked checked =
            minisign::Signature::check(signature.bytes(), *config_.publicKey, kUpdatedProgram);
        const minisign::Hash hash = minisign::hashOf(program.bytes());
        if (!fetched || !checked.signature || !checked.signature->verifies(hash))
            return PublishReport{
                PublishOutcome::ServerFailed,
                u"la versione %1 sul server non si legge o non è firmata dal produttore"_s.arg(q(index.release))};
        program_ = program.bytes();
        signature_ = signature.bytes();
        index.size = static_cast<std::int64_t>(program_.size());
        index.hash = hash;
        index.signedAt = checked.signature->timestamp();
        return std::nullopt;
    }

    // The release files in the release folder, oldest first. Only names this
    // publisher makes count: whatever else a server lists is left alone.
    std::vector<std::string> releaseNames()
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

    std::vector<std::string> namesIn(std::string_view folder)
    {
        std::vector<std::string> names;
        HashingSink listing(1024 * 1024);
        if (enter(folder) && ftp_.FetchListing(listing)) {
            std::string_view rest = listing.bytes();
            while (!rest.empty()) {
                const auto end = rest.find('\n');
                std::string name(rest.substr(0, end));
                rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
                if (!name.empty() && name.back() == '\r')
                    name.pop_back();
                if (!name.empty())
                    names.push_back(name);
            }
        }
        enter({});
        std::sort(names.begin(), names.end());
        return names;
    }

    // Uploaded under a name no site reads, read back and compared, then put
    // in place by a rename. A server that will not rename onto a name in
    // use gets a delete first, and that is said.
    std::optional<PublishReport> putChecked(const std::string& name, const std::string& bytes)
    {
        const std::string part = partName(name);
        say(u"Invio di %1 (%2 byte)"_s.arg(q(name)).arg(bytes.size()));
        if (const platform::FtpResult put = ftp_.PutFile(
                part, bytes, [this](std::int64_t sent, std::int64_t total) { ui_.downloadProgress(sent, total); });
            !put) {
            ui_.downloadEnded();
            return serverFailure(put, u"invio di %1 non riuscito: nulla è cambiato per i siti"_s.arg(q(name)));
        }
        ui_.downloadEnded();
        const platform::FtpResult read = ftp_.ReadBack(part, bytes);
        if (read.failure == platform::FtpFailure::Mismatch)
            return PublishReport{
                PublishOutcome::Mismatch,
                u"%1 riletto dal server non è quello inviato: nulla è cambiato per i siti"_s.arg(q(name))};
        if (!read)
            return serverFailure(read, u"rilettura di %1 non riuscita: nulla è cambiato per i siti"_s.arg(q(name)));
        platform::FtpResult renamed = ftp_.Rename(part, name);
        if (!renamed && renamed.failure == platform::FtpFailure::Refused && listed(part) && ftp_.Delete(name)) {
            say(u"Il server non sostituisce un file con una ridenominazione: %1 cancellato prima"_s.arg(q(name)));
            renamed = ftp_.Rename(part, name);
        }
        if (!renamed)
            return PublishReport{
                PublishOutcome::RenameRefused,
                text::because(u"il server non ha messo al suo posto %1; visibili: %2"_s.arg(q(name), visible()),
                              renamed.detail)};
        // A server may say it renamed and not have done it.
        if (bytes.size() <= kCheckedAfterRename) {
            HashingSink placed(static_cast<std::int64_t>(kCheckedAfterRename));
            if (!ftp_.FetchFile(name, placed) || placed.bytes() != bytes)
                return PublishReport{PublishOutcome::RenameRefused,
                                     u"dopo la ridenominazione %1 sul server non è quello inviato; visibili: %2"_s.arg(
                                         q(name), visible())};
        }
        return std::nullopt;
    }

    // Whether the current folder lists `name`: a refused rename of a file
    // that has gone is no reason to delete the one in place.
    bool listed(const std::string& name)
    {
        HashingSink listing(1024 * 1024);
        if (!ftp_.FetchListing(listing))
            return false;
        std::string_view rest = listing.bytes();
        while (!rest.empty()) {
            const auto end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            if (line == name)
                return true;
        }
        return false;
    }

    QString visible()
    {
        return previous_ ? u"l'indice precedente (%1)"_s.arg(q(previous_->release))
                         : u"la coppia dolvo.exe e la sua firma precedenti"_s;
    }

    std::optional<PublishReport> putRelease()
    {
        if (!enter(kReleaseFolderName)) {
            if (const platform::FtpResult made = ftp_.MakeFolder(std::string(kReleaseFolderName));
                !made || !enter(kReleaseFolderName))
                return serverFailure(made, u"la cartella delle versioni non si può creare"_s);
        }
        const std::string name = std::string(releaseFileOf(index_.release));
        std::optional<PublishReport> failed = putChecked(name, program_);
        if (!failed)
            failed = putChecked(signatureName(name), signature_);
        enter({});
        return failed;
    }

    std::optional<PublishReport> putIndex(const Rollout& rollout)
    {
        if (auto lost = holdingTheLock())
            return lost;
        index_.rollout = rollout;
        const std::string text = index_.text();
        const std::string signature = key_->sign(minisign::hashOf(text), minisign::trustedComment(now_, kIndexName));
        const std::string sealed = sealedIndex(signature, text);
        std::optional<PublishReport> failed = putChecked(kIndexName, sealed);
        QSaveFile memory(memoryPath());
        if (!failed && !(memory.open(QIODevice::WriteOnly) && memory.write(sealed.data(), qint64(sealed.size())) &&
                         memory.commit()))
            say(u"Attenzione: %1 non si può scrivere; la prossima pubblicazione non potrà accorgersi di un indice "
                u"più vecchio servito dal server"_s.arg(memoryPath()));
        return failed;
    }

    // The last index this machine signed, kept beside the key: were the
    // server to serve an older one back, or none, the maker would otherwise
    // sign away the withdrawals made since.
    QString memoryPath() const { return config_.signingKey + u".last-index"_s; }
    std::int64_t lastSignedHere() const
    {
        QString why;
        const auto stored = config_.signingKey.isEmpty() || !QFileInfo::exists(memoryPath())
                                ? std::nullopt
                                : readLocal(memoryPath(), kMaxIndexBytes, why);
        const std::optional<StoredIndex> genuine = stored ? genuineIndex(*stored, *config_.publicKey) : std::nullopt;
        return genuine ? genuine->signedAt : 0;
    }

    static bool goesToEverySite(const Rollout& rollout)
    {
        return !rollout.paused && rollout.stages.size() == 1 && rollout.stages.front().delay.count() == 0;
    }

    // Today's sites read the program, then its signature: the program first,
    // so that no site ever sees a signature of a program not yet there.
    std::optional<PublishReport> putLegacyPair()
    {
        if (auto lost = holdingTheLock())
            return lost;
        std::optional<PublishReport> failed = putChecked(std::string(kUpdatedProgram), program_);
        if (!failed)
            failed = putChecked(signatureName(kUpdatedProgram), signature_);
        return failed;
    }

    // The newest keep_releases release files stay, and always the index's;
    // leftovers of a cut publish go too.
    void prune()
    {
        for (const std::string_view folder : {std::string_view{}, kReleaseFolderName}) {
            const std::vector<std::string> names = namesIn(folder);
            if (!enter(folder))
                return;
            for (const std::string& name : names) {
                if (isLeftover(name, !folder.empty()))
                    (void)ftp_.Delete(name);
            }
        }
        const std::vector<std::string> releases = releaseNames();
        if (!enter(kReleaseFolderName))
            return;
        const std::string current = std::string(releaseFileOf(index_.release));
        const auto keep = static_cast<std::size_t>(config_.keepReleases);
        for (std::size_t i = 0; i + keep < releases.size(); ++i) {
            if (releases[i] == current)
                continue;
            say(u"Versione vecchia rimossa: %1"_s.arg(q(releases[i])));
            (void)ftp_.Delete(releases[i]);
            (void)ftp_.Delete(signatureName(releases[i]));
        }
        enter({});
    }

    UpdateUi& ui_;
    platform::FtpPublishSession& ftp_;
    const Config& config_;
    std::int64_t now_;
    std::string program_;
    std::string signature_;
    std::optional<minisign::SecretKey> key_;
    ReleaseIndex index_;
    std::optional<ReleaseIndex> previous_;
    std::int64_t offeredAt_ = 0;
    std::string owner_;  // this run's line in the lock
    bool locked_ = false;
};

}  // namespace

ExitStatus exitStatus(PublishOutcome outcome)
{
    switch (outcome) {
    case PublishOutcome::Published: return ExitStatus::Success;
    case PublishOutcome::Refused: return ExitStatus::PublishRefused;
    case PublishOutcome::ConnectFailed: return ExitStatus::ConnectFailed;
    case PublishOutcome::Locked: return ExitStatus::PublishLocked;
    case PublishOutcome::Mismatch: return ExitStatus::PublishMismatch;
    case PublishOutcome::RenameRefused: return ExitStatus::PublishRenameRefused;
    case PublishOutcome::ServerFailed: return ExitStatus::PublishServerFailed;
    case PublishOutcome::Inconsistent: return ExitStatus::StatusInconsistent;
    }
    return ExitStatus::PublishServerFailed;
}

PublishReport PublishCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                             const PublishRequest& request,
                             const std::function<std::optional<std::string>()>& askPassword, std::int64_t now)
{
    return Publisher(ui, ftp, config, now).run(request, askPassword);
}

}  // namespace adv
