// The install transaction over real files, on Linux and under Wine: cut at
// every step, what is on disk and what the release record says still agree.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <filesystem>
#include <functional>
#include <string>

#include "install/FileReplacement.h"
#include "install/ReleaseRecord.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"

namespace {

using adv::test::writeFile;

using namespace Qt::StringLiterals;
using namespace adv::platform;
using namespace adv::install;

// The real folder, until the `cutAt`-th call that changes something: from
// there on every such call fails, as when the power goes. Without
// `oneStep`, a file system that can neither swap two names in one step nor
// give a file a second name (vfat).
class CutFolder final : public InstallFolder {
    using S = const std::string&;

public:
    CutFolder(std::unique_ptr<InstallFolder> real, int cutAt, bool oneStep)
        : real_(std::move(real)), cutAt_(cutAt), oneStep_(oneStep)
    {
    }
    std::string shown(S n) const override { return real_->shown(n); }
    ReplaceResult lock(S n) override { return real_->lock(n); }
    Entry entry(S n) override { return real_->entry(n); }
    std::vector<std::string> names() override { return real_->names(); }
    ReplaceResult read(S n, std::int64_t o, char* b, std::size_t s, std::size_t& g) override
    {
        return real_->read(n, o, b, s, g);
    }
    void discard() noexcept override { real_->discard(); }
    ReplaceResult create(S n) override { return cut() ? kCut : real_->create(n); }
    ReplaceResult reopen(S n, std::int64_t m, std::int64_t& s) override
    {
        return cut() ? kCut : real_->reopen(n, m, s);
    }
    ReplaceResult write(const char* d, std::size_t s) override { return cut() ? kCut : real_->write(d, s); }
    ReplaceResult seal(S m) override { return cut() ? kCut : real_->seal(m); }
    ReplaceResult link(S f, S t) override
    {
        if (!oneStep_)
            return {ReplaceStatus::Unsupported, "no links"};
        return cut() ? kCut : real_->link(f, t);
    }
    ReplaceResult renameOver(S f, S t) override { return cut() ? kCut : real_->renameOver(f, t); }
    ReplaceResult exchange(S a, S b) override
    {
        if (!oneStep_)
            return {ReplaceStatus::Unsupported, "no exchange"};
        return cut() ? kCut : real_->exchange(a, b);
    }
    ReplaceResult remove(S n) override { return cut() ? kCut : real_->remove(n); }
    ReplaceResult sync() override { return cut() ? kCut : real_->sync(); }

private:
    inline static const ReplaceResult kCut{ReplaceStatus::Failed, "cut"};
    bool cut() { return ++calls_ >= cutAt_; }
    std::unique_ptr<InstallFolder> real_;
    int cutAt_;
    bool oneStep_;
    int calls_ = 0;
};

const std::string kName = "dolvo.exe";
Release release(std::int64_t at, char digit)
{
    return {at, std::string(128, digit)};
}

struct Installation {
    QTemporaryDir dir;
    std::filesystem::path folder = dir.path().toStdString();
    Installation() { writeFile(dir.filePath(QString::fromStdString(kName)), {}); }

    std::unique_ptr<FileReplacement> open(int cutAt = 1000, bool oneStep = true)
    {
        auto [real, why] = openInstallFolder(folder);
        EXPECT_TRUE(real) << why.detail;
        auto replacement =
            std::make_unique<FileReplacement>(std::make_unique<CutFolder>(std::move(real), cutAt, oneStep), kName);
        EXPECT_EQ(replacement->lock().status, ReplaceStatus::Ok);
        return replacement;
    }
    ReplaceResult install(const QByteArray& bytes, const Release& as, int cutAt = 1000)
    {
        auto replacement = open(cutAt);
        (void)replacement->begin();
        (void)replacement->write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        return replacement->commit(as);
    }
    QByteArray read(std::string_view suffix) const
    {
        QFile file(dir.filePath(QString::fromStdString(kName + std::string(suffix))));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
    }
    QStringList names() const
    {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot);
    }
};

// A cut at step `cutAt` (or a later one up to `through`) of an update from
// "A" (release 1000, "P" kept, 500) to "B" (2000), or of a roll-back, in one
// step or in three renames; the next run finishes what the cut began.
struct Cut {
    int cutAt, through;
    enum { Update, RollBack, RollBackInThree } what;
    const char* program;
    const char* previous;
    std::optional<std::int64_t> installedAt, previousAt;
    std::int64_t floor;
};

std::string cutName(const Cut& c)
{
    const char* const what[] = {"Update", "RollBack", "RollBackInThree"};
    return what[c.what] + std::to_string(c.cutAt);
}

class CutAtEveryStep : public ::testing::TestWithParam<Cut> {};

TEST_P(CutAtEveryStep, LeavesFilesAndRecordInAgreement)
{
    const Cut c = GetParam();
    if (c.what == Cut::RollBack) {
        Installation probe;
        if (openInstallFolder(probe.folder).folder->exchange("a", "b").status == ReplaceStatus::Unsupported)
            GTEST_SKIP() << "this file system swaps two names in three renames: see the RollBackInThree rows";
    }
    for (int cutAt = c.cutAt; cutAt <= c.through; ++cutAt) {
        SCOPED_TRACE("cut at step " + std::to_string(cutAt));
        Installation in;
        ASSERT_TRUE(in.install("P", release(500, 'a')));
        ASSERT_TRUE(in.install("A", release(1000, 'b')));
        if (c.what != Cut::Update)
            (void)in.open(cutAt, c.what == Cut::RollBack)->rollBack();
        else
            (void)in.install("B", release(2000, 'c'), cutAt);

        const ReleaseRecord record = in.open()->record();  // the next run, which clears the leftovers
        EXPECT_EQ(in.read(""), c.program);
        EXPECT_EQ(in.read(kPreviousSuffix), c.previous);
        EXPECT_EQ(record.installed.signedAt, c.installedAt);
        EXPECT_EQ(record.previous.signedAt, c.previousAt);
        EXPECT_EQ(record.floor, c.floor);
        EXPECT_EQ(in.names(), (QStringList{u"dolvo.exe"_s, u"dolvo.exe.prev"_s, u"dolvo.exe.release"_s}));
    }
}

// Update steps: the temporary program (create 1, write 2, seal 3), the new
// record (4-6), the second name of A (7), the rename of B (8), A to .prev (9),
// the record (10), then tidying (11-13). Roll-back: the record (1-3), the
// exchange (4), the record's rename (5); in three, with a copy of A for its
// second name: the copy (4-7), P to dolvo.exe (8), A to .prev (9), the
// record's rename (10); the record knows the copy of A as no release.
INSTANTIATE_TEST_SUITE_P(Transaction, CutAtEveryStep,
                         ::testing::Values(Cut{1, 8, Cut::Update, "A", "P", 1000, 500, 1000},
                                           Cut{9, 14, Cut::Update, "B", "A", 2000, 1000, 2000},
                                           Cut{1, 4, Cut::RollBack, "A", "P", 1000, 500, 1000},
                                           Cut{5, 9, Cut::RollBack, "P", "A", 500, 1000, 1000},
                                           Cut{1, 8, Cut::RollBackInThree, "A", "P", 1000, 500, 1000},
                                           Cut{9, 14, Cut::RollBackInThree, "P", "A", 500, std::nullopt, 1000}),
                         [](const auto& row) { return cutName(row.param); });

TEST(Transaction, TheSameProgramAgainTouchesNothingAndARollBackNeedsNoInstalledProgram)
{
    Installation in;
    ASSERT_TRUE(in.install("P", {}));
    ASSERT_TRUE(in.install("A", {}));
    EXPECT_EQ(in.install("A", {}).status, ReplaceStatus::Unchanged);
    EXPECT_EQ(in.install("A", release(1000, 'b')).status, ReplaceStatus::Unchanged);
    EXPECT_EQ(in.read(kPreviousSuffix), "P") << "the only previous program was pushed out";
    EXPECT_EQ(in.open()->record().installed, release(1000, 'b')) << "the signed release was not written down";

    ASSERT_TRUE(QFile::remove(in.dir.filePath(QString::fromStdString(kName))));
    ASSERT_TRUE(in.open()->rollBack());
    EXPECT_EQ(in.read(""), "P");
}

// A record of the first form, as sites hold it today, still reads; the
// second carries what the maker's indexes said, and only that form is written.
TEST(ReleaseRecord, ReadsBothFormsAndWritesTheSecond)
{
    const std::string a(128, 'a'), b(128, 'b');
    const auto first =
        Stored::parse("AggiornaDV release record 1\nfloor 100\ninstalled 100 " + a + " 1 2 3\nprevious - - 0 0 0\n");
    EXPECT_EQ(first.value().floor, 100);
    Stored next = *first;
    next.indexSeen = 200;
    next.withdrawn = {a, b};
    EXPECT_EQ(Stored::parse(next.text()).value().text(), next.text());
    EXPECT_FALSE(Stored::parse(next.text() + "\n"));
}

TEST(Transaction, OneUpdaterAtATime)
{
    Installation in;
    auto first = in.open();
    FileReplacement second(openInstallFolder(in.folder).folder, kName);
    const ReplaceResult locked = second.lock();
    EXPECT_EQ(locked.status, ReplaceStatus::Busy) << locked.detail;
    EXPECT_NE(locked.detail.find("another update"), std::string::npos) << locked.detail;
    first.reset();
    EXPECT_EQ(second.lock().status, ReplaceStatus::Ok);
}

// What a record must never be read as: "no floor".
struct Damage {
    const char* label;
    std::function<void(const QString& record, const QString& elsewhere)> make;
};

class DamagedRecord : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedRecord, IsRefusedNotReadAsNoFloor)
{
    Installation in;
    ASSERT_TRUE(in.install("A", release(1000, 'b')));
    const QString record = in.dir.filePath(u"dolvo.exe.release"_s);
    const QString elsewhere = in.dir.filePath(u"elsewhere"_s);
    QFile::rename(record, elsewhere);
    GetParam().make(record, elsewhere);

    FileReplacement replacement(openInstallFolder(in.folder).folder, kName);
    const ReplaceResult locked = replacement.lock();
    EXPECT_EQ(locked.status, ReplaceStatus::Damaged) << locked.detail;
    EXPECT_NE(locked.detail.find("dolvo.exe.release"), std::string::npos) << locked.detail;
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, DamagedRecord,
    ::testing::Values(Damage{"Folder", [](const QString& r, const QString&) { QDir().mkpath(r); }},
                      Damage{"LinkToTheRecord",
                             [](const QString& r, const QString& e) { adv::test::makeSymlink(e, r); }},
                      Damage{"Garbage", [](const QString& r, const QString&) { writeFile(r, "floor 1\n"); }}),
    [](const auto& row) { return std::string(row.param.label); });

// What an earlier run, a power cut or a hand may leave where the lock goes:
// none of it blocks an update, and nothing is written through a link.
class LockLeftover : public ::testing::TestWithParam<Damage> {};

TEST_P(LockLeftover, NeverBlocksAnUpdate)
{
    Installation in;
    const QString elsewhere = in.dir.filePath(u"elsewhere"_s);
    writeFile(elsewhere, "not the updater's");
    GetParam().make(in.dir.filePath(u"dolvo.exe.lock"_s), elsewhere);
    ASSERT_TRUE(in.install("A", {}));
    EXPECT_EQ(in.read(""), "A");
    QFile kept(elsewhere);
    EXPECT_TRUE(kept.open(QIODevice::ReadOnly) && kept.readAll() == "not the updater's");
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, LockLeftover,
    ::testing::Values(
        Damage{"EmptyFile", [](const QString& l, const QString&) { writeFile(l, {}); }},
        Damage{"LinkToAnotherFile", [](const QString& l, const QString& e) { adv::test::makeSymlink(e, l); }},
        Damage{"DanglingLink", [](const QString& l, const QString& e) { adv::test::makeSymlink(e + u"-gone"_s, l); }},
        Damage{"EmptyFolder", [](const QString& l, const QString&) { QDir().mkpath(l); }}),
    [](const auto& row) { return std::string(row.param.label); });

// A cut download of release "ab" is gone on with until it is installed;
// whatever else lies under its name (too large, a link, a second name)
// starts afresh, and what it led to stays as it was. Another release's goes.
class KeptDownload : public ::testing::TestWithParam<Damage> {};

TEST_P(KeptDownload, GoesOnOnlyFromTheUpdatersOwnFile)
{
    Installation in;
    const QString elsewhere = in.dir.filePath(u"elsewhere"_s);
    writeFile(elsewhere, "MZ n");
    writeFile(in.dir.filePath(u".dolvo.exe.part-cd"_s), "MZ");
    GetParam().make(in.dir.filePath(u".dolvo.exe.part-ab"_s), elsewhere);
    const Resumable release{"ab", 8};
    auto replacement = in.open();
    ASSERT_TRUE(replacement->begin(&release));
    EXPECT_EQ(replacement->held(), 0);
    ASSERT_TRUE(replacement->write("MZ n", 4));
    replacement.reset();  // cut
    replacement = in.open();
    std::string read;
    const auto take = [&read](const char* data, std::size_t size) { return read.append(data, size), ReplaceResult{}; };
    ASSERT_TRUE(replacement->begin(&release) && replacement->held() == 4 && replacement->readHeld(take));
    EXPECT_EQ(read, "MZ n");
    ASSERT_TRUE(replacement->restart() && replacement->held() == 0 && replacement->write("MZ nuova", 8));
    ASSERT_TRUE(replacement->commit({}));
    replacement.reset();
    EXPECT_EQ(in.read(""), "MZ nuova");
    EXPECT_EQ(in.names(), (QStringList{u"dolvo.exe"_s, u"dolvo.exe.prev"_s, u"dolvo.exe.release"_s, u"elsewhere"_s}));
    QFile untouched(elsewhere);
    EXPECT_TRUE(untouched.open(QIODevice::ReadOnly) && untouched.readAll() == "MZ n");
}

INSTANTIATE_TEST_SUITE_P(
    Transaction, KeptDownload,
    ::testing::Values(Damage{"None", [](const QString&, const QString&) {}},
                      Damage{"Larger", [](const QString& k, const QString&) { writeFile(k, "MZ nuova!"); }},
                      Damage{"Link", [](const QString& k, const QString& e) { adv::test::makeSymlink(e, k); }},
                      Damage{"SecondName",
                             [](const QString& k, const QString& e) {
                                 std::filesystem::create_hard_link(e.toStdWString(), k.toStdWString());
                             }}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
