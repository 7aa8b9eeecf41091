// Every way the maker's commands end, each once, with the status the
// program exits with: over a server tree in memory, the maker's key and
// signatures made here. Needs no root, no network, no Wine.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>

#include "app/channel/Freshness.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/PublishCommand.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/MinisignMaker.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ScriptedServer.h"

using namespace Qt::StringLiterals;
using enum adv::PublishOutcome;
using enum adv::PublishAction;

namespace {

constexpr std::int64_t kOld = 1790000000, kNow = 1796000000;
const std::string kIndex = "download/dolvo.exe.index";

// The maker's machine, and a server that offers an old release as the pair
// alone, beside a release file another publisher left.
struct Scene {
    QTemporaryDir dir;
    adv::test::Maker maker;
    adv::test::ScriptedServer server;
    adv::Config config;
    std::int64_t now = kNow;
    QString signature;          // the maker's own signature of the program; empty: signed here
    adv::PublishRequest asked;  // what else the maker asks: --reinstate, --back-to, riprendi
    std::function<std::optional<std::string>()> password = [] { return std::nullopt; };
    adv::test::RecordingUi ui{true};

    Scene()
    {
        server.folders = {"", "download", "download/releases"};
        server.files = {{"download/dolvo.exe", "MZ vecchia"},
                        {"download/dolvo.exe.minisig", maker.release("MZ vecchia", kOld)},
                        {"download/releases/dolvo-old.exe", "MZ altrui"}};
        config.remoteFolder = "download";
        config.publicKey = maker.key();
        config.signingKey = write(u"maker.key"_s, maker.secretKeyFile());
        adv::test::setMode(config.signingKey, 0600);
    }
    QString write(const QString& name, const std::string& bytes)
    {
        adv::test::writeFile(dir.filePath(name), QByteArray::fromStdString(bytes));
        return dir.filePath(name);
    }
    adv::PublishReport publish(const std::string& program, adv::PublishAction action = Release,
                               const char* plan = "100")
    {
        ui.lines.clear();
        adv::PublishRequest request = asked;
        request.action = action;
        request.program = write(u"dolvo.exe"_s, program);
        request.signatureFile = signature;
        request.rollout = *adv::Rollout::parse(plan);
        return adv::PublishCommand(ui, server, config, request, password, ++now);
    }
    // A key sealed with a password, which no test opens.
    void sealedKey()
    {
        std::string key = maker.secretKeyFile();
        key.replace(key.find('\n') + 1, 8, "RWRTY0Iy");  // "EdScB2": scrypt
        config.signingKey = write(u"maker.key"_s, key);
    }
    void published(const std::string& program, adv::PublishAction action = Release, const char* plan = "100")
    {
        const adv::PublishReport report = publish(program, action, plan);
        ASSERT_EQ(report.outcome, Published) << report.cause.logged().toStdString();
    }
    std::string file(const std::string& path) const
    {
        const auto found = server.files.find(path);
        return found == server.files.end() ? "-" : found->second;
    }
    std::optional<adv::ReleaseIndex> index() const
    {
        const auto parts = adv::openedIndex(file(kIndex));
        return parts ? adv::readReleaseIndex(parts->second).index : std::nullopt;
    }
    // What sites read: the program, its signature and the index.
    std::vector<std::string> visible() const
    {
        return {file("download/dolvo.exe"), file("download/dolvo.exe.minisig"), file(kIndex)};
    }
    bool pairSigned() const
    {
        const auto pair = adv::minisign::Signature::check(visible()[1], maker.key(), "dolvo.exe");
        return pair.signature && pair.signature->verifies(adv::minisign::hashOf(visible()[0]));
    }
    void lockedAt(std::int64_t since)
    {
        server.folders.insert("download/dolvo.exe.publishing");
        server.files["download/dolvo.exe.publishing/owner"] = "altro pid 7 " + std::to_string(since) + "\n";
    }
    void fail(const char* kind, int n) { server.failing = {{kind, n}}; }
    // The refresh key, and the index published with it; `text`: another key file.
    adv::test::Maker refresher;
    void refreshKeyed(const std::string& text = {})
    {
        config.refreshKey = write(u"refresh.key"_s, text.empty() ? refresher.secretKeyFile() : text);
        adv::test::setMode(config.refreshKey, 0600);
    }
    void refreshable() { refreshKeyed(), published("MZ prima"); }
    void staged() { published("MZ prima", Release, "10@0h,100@24h"); }
    void twoReleases()
    {
        published("MZ prima");
        published("MZ seconda");
    }
    // A genuine release the maker signed long ago, put back by the server.
    void ancientKept()
    {
        const std::string name = adv::releaseFileName(kOld - 9, adv::minisign::hashOf("MZ antica"));
        server.files["download/releases/" + name] = "MZ antica";
        server.files["download/releases/" + name + ".minisig"] = maker.release("MZ antica", kOld - 9);
    }
    // "MZ nuova", the program each row publishes, withdrawn once.
    void withdrawnOnce()
    {
        published("MZ prima");
        published("MZ nuova");
        published("", Withdraw);
    }
    void olderIndexServed()
    {
        published("MZ prima");
        const std::string first = file(kIndex);
        published("MZ seconda");
        server.files[kIndex] = first;
    }
};

TEST(PublishOutcomes, EachWithItsExitStatus)
{
    const struct Row {
        const char* label;
        adv::PublishOutcome outcome;
        int status;
        std::function<void(Scene&)> given;
        adv::PublishAction action = Release;
        const char* plan = "100";
        const char* legacy = nullptr;   // published: the program today's sites get
        const char* current = nullptr;  // published: the program the index names
        const char* said = nullptr;     // what the maker is told, as a pattern
    } rows[] = {
        {"a release for every site", Published, 0, {}, Release, "100", "MZ nuova", "MZ nuova"},
        {"a staged release", Published, 0, {}, Release, "10@0h,100@24h", "MZ vecchia", "MZ nuova"},
        {"a name in use set aside first", Published, 0, [](Scene& s) { s.server.renameKeeps = true; }, Release, "100",
         "MZ nuova", "MZ nuova"},
        {"over a lock hours old", Published, 0, [](Scene& s) { s.lockedAt(kNow - 4000); }, Release, "100", "MZ nuova",
         "MZ nuova"},
        {"a pause", Published, 0, &Scene::staged, ChangeRollout, "pausa", "MZ vecchia", "MZ prima"},
        {"a plan now for every site", Published, 0, &Scene::staged, ChangeRollout, "100", "MZ prima", "MZ prima"},
        {"a withdrawal", Published, 0, &Scene::twoReleases, Withdraw, "100", "MZ prima", "MZ prima"},
        {"a withdrawal past one withdrawn before", Published, 0,
         [](Scene& s) {
             s.twoReleases();
             s.published("", Withdraw);
             s.published("MZ terza");
         },
         Withdraw, "100", "MZ prima", "MZ prima"},
        {"a withdrawal, the server adding an older release", Published, 0,
         [](Scene& s) {
             s.twoReleases();
             s.ancientKept();
         },
         Withdraw, "100", "MZ prima", "MZ prima"},
        {"a withdrawal to a release the maker names", Published, 0,
         [](Scene& s) {
             s.twoReleases();
             s.ancientKept();
             s.asked.backTo = adv::minisign::toHex(adv::minisign::hashOf("MZ antica")).substr(0, 12);
         },
         Withdraw, "100", "MZ antica", "MZ antica"},
        {"a withdrawn release reinstated", Published, 0,
         [](Scene& s) {
             s.withdrawnOnce();
             s.asked.reinstate = true;
         },
         Release, "100", "MZ nuova", "MZ nuova"},
        {"--status of a whole server", Published, 0, &Scene::staged, Status},
        {"no public_key", Refused, 13, [](Scene& s) { s.config.publicKey.reset(); }},
        {"--status, no public_key", Refused, 13, [](Scene& s) { s.config.publicKey.reset(); }, Status},
        {"no signing_key", Refused, 13, [](Scene& s) { s.config.signingKey.clear(); }},
        {"no key file", Refused, 13, [](Scene& s) { s.config.signingKey += u"x"_s; }},
        {"an open key others may read", Refused, 13, [](Scene& s) { adv::test::setMode(s.config.signingKey, 0644); }},
        {"a sealed key others may read: said, then its password asked", Refused, 13,
         [](Scene& s) {
             s.sealedKey();
             adv::test::setMode(s.config.signingKey, 0644);
             s.password = [&s] { return s.ui.lines << u"password chiesta"_s, std::nullopt; };
         },
         Release, "100", nullptr, nullptr, "leggibile [^\n]*maker.key[^\n]*\npassword chiesta"},
        {"a signature of another program, before any password", Refused, 13,
         [](Scene& s) {
             s.sealedKey();
             s.signature = s.write(u"s"_s, s.maker.release("MZ altra", kNow));
             s.password = [] { return ADD_FAILURE() << "password asked", std::nullopt; };
         }},
        {"another key", Refused, 13,
         [](Scene& s) { s.config.signingKey = s.write(u"k"_s, adv::test::Maker().secretKeyFile()); }},
        {"a signature of another file", Refused, 13,
         [](Scene& s) { s.signature = s.write(u"s"_s, s.maker.signatureOf("MZ nuova", "timestamp:1\tfile:a.exe")); }},
        {"a signature of another program", Refused, 13,
         [](Scene& s) { s.signature = s.write(u"s"_s, s.maker.release("MZ altra", kNow)); }},
        {"a signature two days ahead", Refused, 13,
         [](Scene& s) { s.signature = s.write(u"s"_s, s.maker.release("MZ nuova", kNow + 2 * 86400)); }},
        {"not newer than the server's", Refused, 13, [](Scene& s) { s.now = kOld - 1; }},
        {"the maker's clock two days ahead of the server's", Refused, 13,
         [](Scene& s) { s.server.clock = kNow - 2 * 86400; }},
        {"over an index dated days ahead, which no site took", Published, 0,
         [](Scene& s) {
             s.now += 3 * 86400;
             s.published("MZ prima");
             s.now -= 3 * 86400;
         },
         Release, "100", "MZ nuova", "MZ nuova"},
        {"a withdrawal after a cut between the pair's renames", Published, 0,
         [](Scene& s) {
             s.published("MZ uno");
             const std::string first = s.file("download/" + s.index()->release + ".minisig");
             s.published("MZ due");
             s.server.files["download/dolvo.exe.minisig"] = first;  // the same size: only the bytes tell
         },
         Withdraw, "100", "MZ uno", "MZ uno"},
        {"an index not the maker's", Refused, 13,
         [](Scene& s) {
             s.published("MZ prima");
             s.server.files[kIndex].back() ^= 1;
         }},
        {"--rollout, no index", Refused, 13, {}, ChangeRollout},
        {"--withdraw, no index", Refused, 13, {}, Withdraw},
        {"--withdraw, nothing older", Refused, 13, [](Scene& s) { s.published("MZ prima"); }, Withdraw},
        {"--withdraw, the server hiding the release it replaced", Refused, 13,
         [](Scene& s) {
             s.published("MZ prima");
             const std::string first = "download/" + s.index()->release;
             s.published("MZ seconda");
             s.server.files.erase(first);
             s.ancientKept();
         },
         Withdraw},
        {"a withdrawn release published again", Refused, 13, &Scene::withdrawnOnce},
        {"no session", ConnectFailed, 2, [](Scene& s) { s.fail("open", 1); }},
        {"no remote folder", ConnectFailed, 2, [](Scene& s) { s.fail("folder", 1); }},
        {"a lock another holds", Locked, 14, [](Scene& s) { s.lockedAt(kNow - 1000); }},
        {"the lock taken over meanwhile", Locked, 14,
         [](Scene& s) {
             s.server.meanwhile = [&s](const std::string& kind) {
                 if (kind == "rename")
                     s.lockedAt(kNow);
             };
         }},
        {"a file read back otherwise", Mismatch, 15, [](Scene& s) { s.server.differs = ".part"; }},
        {"a rename refused, the file gone", RenameRefused, 16,
         [](Scene& s) {
             s.fail("rename", 1);
             s.server.unlisted = ".part";
         }},
        {"the index read back otherwise once renamed", RenameRefused, 16,
         [](Scene& s) { s.server.differs = ".index"; }},
        {"the lock not written", ServerFailed, 17, [](Scene& s) { s.fail("put", 1); }},
        {"an upload refused", ServerFailed, 17, [](Scene& s) { s.fail("put", 2); }},
        {"an index older than one published here", ServerFailed, 17, &Scene::olderIndexServed, ChangeRollout},
        {"a kept release not the index's", ServerFailed, 17,
         [](Scene& s) {
             s.staged();
             const std::string kept = "download/" + s.index()->release;
             s.server.files[kept] = "MZ vecchia";
             s.server.files[kept + ".minisig"] = s.maker.release("MZ vecchia", kOld);
         },
         ChangeRollout},
        {"--status, a leftover", Inconsistent, 18, [](Scene& s) { s.server.files["download/.dolvo.exe.part"] = "M"; },
         Status},
        {"--status, a lock", Inconsistent, 18, [](Scene& s) { s.lockedAt(kNow); }, Status},
        {"--status, an older index", Inconsistent, 18, &Scene::olderIndexServed, Status},
        {"--refresh", Published, 0, [](Scene& s) { s.refreshable(), s.now += 20 * 86400; }, Refresh, "100", nullptr,
         nullptr, "Indice rinnovato: .* valido fino"},
        {"--refresh, the index naming no refresh key", Refused, 13,
         [](Scene& s) { s.published("MZ prima"), s.refreshKeyed(); }, Refresh},
        {"--refresh, no public_key", Refused, 13, [](Scene& s) { s.refreshKeyed(), s.config.publicKey.reset(); },
         Refresh},
        {"--refresh, the main key as the refresh key", Refused, 13,
         [](Scene& s) { s.published("MZ prima"), s.refreshKeyed(s.maker.secretKeyFile()); }, Refresh},
        {"--status, the index past its time", Inconsistent, 18, [](Scene& s) { s.refreshable(), s.now += 16 * 86400; },
         Status},
        {"--status, the pair not the maker's", Inconsistent, 18,
         [](Scene& s) { s.server.files["download/dolvo.exe"] = "MZ altro"; }, Status},
    };
    for (const Row& row : rows) {
        Scene s;
        if (row.given)
            row.given(s);
        const std::vector<std::string> before = s.visible();
        const adv::PublishReport report = s.publish("MZ nuova", row.action, row.plan);
        const adv::Cause& why = report.cause;
        ASSERT_EQ(report.outcome, row.outcome) << row.label << ": " << why.logged().toStdString();
        EXPECT_EQ(adv::code(adv::exitStatus(report.outcome)), row.status) << row.label;
        // Only Italian reaches the maker's terminal; the server's and the libraries' words go to the log.
        EXPECT_EQ(why.isEmpty(), row.outcome == Published) << row.label;
        EXPECT_FALSE(why.text.contains(u"scripted"_s, Qt::CaseInsensitive) ||
                     (!why.detail.isEmpty() && why.text.contains(why.detail)))
            << row.label << ": " << why.logged().toStdString();
        if (row.outcome != Published && row.outcome != RenameRefused) {
            EXPECT_EQ(s.visible(), before) << row.label;
        }
        if (row.said) {
            EXPECT_TRUE(s.ui.lines.join(u'\n').contains(QRegularExpression(QString::fromUtf8(row.said)))) << row.label;
        }
        if (!row.legacy)
            continue;
        const std::optional<adv::ReleaseIndex> index = s.index();
        ASSERT_TRUE(index) << row.label;
        EXPECT_EQ(index->rollout, *adv::Rollout::parse(row.plan)) << row.label;
        EXPECT_TRUE(s.file("download/" + index->release) == row.current &&
                    index->hash == adv::minisign::hashOf(row.current))
            << row.label;
        EXPECT_TRUE(s.visible()[0] == row.legacy && s.pairSigned()) << row.label;
        // Nothing left of the publish; what another left stays.
        EXPECT_TRUE(std::none_of(s.server.files.begin(), s.server.files.end(), [](const auto& file) {
            return file.first.find("/.") != std::string::npos || file.first.find("publishing") != std::string::npos;
        })) << row.label;
        EXPECT_EQ(s.file("download/releases/dolvo-old.exe"), "MZ altrui") << row.label;
    }
}

// The weekly refresh prolongs the index it finds, and only that; its key,
// stolen, signs no index a site takes.
TEST(PublishOutcomes, ARefreshProlongsTheIndexAndItsKeySignsNoIndex)
{
    Scene s;
    s.refreshable();
    const std::int64_t at = s.now + 10 * 86400;
    s.now = at - 1;
    ASSERT_EQ(s.publish("-", Refresh).outcome, Published);
    const auto parts = adv::openedIndex(s.file(kIndex));
    const adv::StoredIndex read = adv::readStoredIndex(s.file(kIndex), s.maker.key());
    const adv::Freshness fresh =
        adv::freshness(*read.index, read.signedAt, read.textHash, s.file("download/" + adv::kFreshName), at);
    EXPECT_EQ(fresh.until, at + 14 * 86400);
    EXPECT_EQ(fresh.refreshedAt, at);
    const std::string stolen =
        s.refresher.signatureOf(parts->second, adv::minisign::trustedComment(at, adv::kIndexName));
    EXPECT_FALSE(adv::readStoredIndex(adv::sealedIndex(stolen, parts->second), s.maker.key()).authentic);
}

// A server that will not rename onto a name in use: the index in place is
// set aside, not deleted, and put back when the new one is refused; sites
// miss it only while the renames around it run.
TEST(PublishOutcomes, AnIndexInUseIsPutBackWhenTheNewOneIsRefused)
{
    Scene s;
    int renames = 0, missing = 0;
    s.server.meanwhile = [&](const std::string& kind) {
        renames += kind == "rename";
        const bool gone = s.server.renameKeeps && !s.server.files.contains(kIndex);
        missing += gone && kind != "change";
        if (gone && kind == "rename" && s.server.failing.empty())
            s.server.failing = {{"rename", renames}};
    };
    s.published("MZ prima");
    const std::string first = s.file(kIndex);
    s.server.renameKeeps = true;
    const adv::PublishReport report = s.publish("MZ seconda");
    EXPECT_EQ(report.outcome, RenameRefused);
    EXPECT_EQ(missing, 2);
    EXPECT_EQ(s.file(kIndex), first);
    EXPECT_TRUE(report.cause.text.contains(u"visibili: dolvo.exe, dolvo.exe.index, dolvo.exe.minisig, secondo"_s))
        << report.cause.text.toStdString();
}

// Cut off at each change on the server in turn, a publish leaves sites a
// whole release, old or new, also where the server keeps names in use;
// --status names what the cut left, and the next publish clears it.
TEST(PublishOutcomes, ACutAtAnyChangeLeavesAWholeReleaseOffered)
{
    for (int change = 1, keeps = 0; keeps < 2; ++change) {
        Scene s;
        s.server.renameKeeps = keeps == 1;
        const std::string oldSignature = s.visible()[1];
        s.server.failing = {{"change", change}};
        const adv::PublishOutcome cut = s.publish("MZ nuova").outcome;
        s.server.failing.clear();
        // Cut between the pair's two renames, keyed sites refuse the new
        // program with the old signature, installing nothing, until the next publish.
        const bool split = s.visible()[0] == "MZ nuova" && s.visible()[1] == oldSignature;
        EXPECT_TRUE(split || s.pairSigned()) << change;
        if (const auto index = s.index()) {
            EXPECT_EQ(adv::minisign::hashOf(s.file("download/" + index->release)), index->hash) << change;
        }
        if (cut == Published) {
            change = 0;
            ++keeps;
            continue;
        }
        const bool leftovers = s.server.folders.contains("download/dolvo.exe.publishing") ||
                               std::any_of(s.server.files.begin(), s.server.files.end(),
                                           [](const auto& file) { return file.first.find("/.") != std::string::npos; });
        EXPECT_EQ(s.publish("", Status).outcome, leftovers || split ? Inconsistent : Published) << change;
        s.published("MZ nuova");
        EXPECT_EQ(s.publish("", Status).outcome, Published) << change;
        ASSERT_LT(change, 60) << "a publish makes fewer changes than this";
    }
}

}  // namespace
