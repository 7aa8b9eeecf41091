// The maker's memory of each server: a record that is there but cannot be
// trusted refuses, as a server serving an older index does; the single file
// of earlier releases guards its own server without blocking another.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <functional>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/IndexMemory.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/MinisignMaker.h"

using namespace Qt::StringLiterals;

namespace {

constexpr std::int64_t kThen = 1790000000;

struct Keeper {
    QTemporaryDir dir;
    adv::test::Maker maker;
    adv::Config config;
    Keeper()
    {
        config.host = "ftp.a.it";
        config.remoteFolder = "/dolvo/../x\n";
        config.publicKey = maker.key();
        config.signingKey = dir.filePath(u"maker.key"_s);
    }
    std::string indexAt(std::int64_t signedAt, const adv::test::Maker& by) const
    {
        adv::ReleaseIndex index{"releases/dolvo.exe", 2, adv::minisign::hashOf("MZ"), signedAt, {}, {}};
        const std::string text = index.text();
        return adv::sealedIndex(by.signatureOf(text, adv::minisign::trustedComment(signedAt, adv::kIndexName)), text);
    }
    QString remembered(std::int64_t signedAt) const
    {
        EXPECT_TRUE(adv::rememberIndex(config, indexAt(signedAt, maker)));
        return adv::recallIndex(config, signedAt).path;
    }
    void legacy(const std::string& bytes)
    {
        adv::test::writeFile(config.signingKey + u".last-index"_s, QByteArray::fromStdString(bytes));
    }
};

TEST(IndexMemory, TrustedOnlyWhenItReads)
{
    using Given = std::function<void(Keeper&)>;
    const struct Row {
        const char* label;
        Given given;
        std::int64_t served;     // the server's index; 0: none
        std::int64_t signedAt;   // what is remembered
        const char* refusedFor;  // the file the refusal names; nullptr: none
    } rows[] = {
        {"nothing kept", {}, kThen, 0, nullptr},
        {"kept, the server as new", [](Keeper& k) { k.remembered(kThen); }, kThen, kThen, nullptr},
        {"kept, the server older", [](Keeper& k) { k.remembered(kThen); }, kThen - 1, kThen, ".index"},
        {"kept, the server has none", [](Keeper& k) { k.remembered(kThen); }, 0, kThen, ".index"},
        {"cut short", [](Keeper& k) { QFile(k.remembered(kThen)).resize(200); }, kThen, 0, ".index"},
        {"a FIFO",
         [](Keeper& k) {
             const QString record = k.remembered(kThen);
             QFile::remove(record), ::mkfifo(qPrintable(record), 0600);
         },
         kThen, 0, ".index"},
        {"a folder",
         [](Keeper& k) {
             const QString p = k.remembered(kThen);
             QFile::remove(p), QDir().mkdir(p);
         },
         kThen, 0, ".index"},
        {"not the maker's",
         [](Keeper& k) {
             adv::test::writeFile(k.remembered(kThen), QByteArray::fromStdString(k.indexAt(kThen, adv::test::Maker())));
         },
         kThen, 0, ".index"},
        {"the records' folder a file", [](Keeper& k) { adv::test::writeFile(adv::indexMemoryFolder(k.config), "x"); },
         kThen, 0, ".indexes"},
        {"another server's only",
         [](Keeper& k) {
             k.config.ftp.port = 2121;
             k.remembered(kThen);
             k.config.ftp.port = 21;
         },
         kThen - 1, 0, nullptr},
        {"the old file, this server", [](Keeper& k) { k.legacy(k.indexAt(kThen, k.maker)); }, kThen + 1, kThen,
         nullptr},
        {"the old file, another server", [](Keeper& k) { k.legacy(k.indexAt(kThen, k.maker)); }, kThen - 1, kThen,
         ".last-index"},
        {"the old file cut short", [](Keeper& k) { k.legacy(k.indexAt(kThen, k.maker).substr(0, 200)); }, kThen, 0,
         ".last-index"},
        {"the old file, this server's own record first",
         [](Keeper& k) {
             k.legacy(k.indexAt(kThen, k.maker));
             k.remembered(kThen - 9);
         },
         kThen - 1, kThen - 9, nullptr},
    };
    for (const Row& row : rows) {
        Keeper k;
        if (row.given)
            row.given(k);
        const adv::IndexMemory memory = adv::recallIndex(k.config, row.served);
        EXPECT_EQ(memory.signedAt, row.signedAt) << row.label;
        ASSERT_EQ(memory.refused.has_value(), row.refusedFor != nullptr) << row.label;
        if (memory.refused) {
            EXPECT_TRUE(memory.refused->text.contains(memory.path) &&
                        memory.path.endsWith(QLatin1StringView(row.refusedFor)))
                << row.label << ": " << memory.refused->text.toStdString();
        }
        // One plain name per server and folder, the record its owner's alone.
        const QStringList records = QDir(adv::indexMemoryFolder(k.config)).entryList(QDir::Files);
        for (const QString& name : records) {
            EXPECT_TRUE(name.startsWith(u"ftp.a.it,"_s) && name.endsWith(u",%2Fdolvo%2F..%2Fx%0A.index"_s))
                << name.toStdString();
            EXPECT_EQ(adv::test::modeOf(QDir(adv::indexMemoryFolder(k.config)).filePath(name)), 0600) << row.label;
        }
    }
}

}  // namespace
