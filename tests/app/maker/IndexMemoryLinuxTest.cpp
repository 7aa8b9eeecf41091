// The maker's memory of each server: a record there but not to be trusted
// refuses, as an older index served does; the old single file guards its
// own server without blocking another.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/IndexMemory.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/MinisignMaker.h"

using namespace Qt::StringLiterals;

namespace {

constexpr std::int64_t T = 1790000000;
enum Kept { Whole, CutShort, Fifo, Folder, OtherKey, OtherServer, RecordsAFile };

TEST(IndexMemory, TrustedOnlyWhenItReads)
{
    // The record's index and the old single file's, signed then (0: none);
    // the server's (0: none); what is remembered; the end of the file a
    // refusal names (nullptr: none).
    const struct Row {
        const char* label;
        std::int64_t kept;
        Kept as;
        std::int64_t legacy, served, signedAt;
        const char* refusedFor;
    } rows[] = {
        {"nothing kept", 0, Whole, 0, T, 0, nullptr},
        {"kept, the server as new", T, Whole, 0, T, T, nullptr},
        {"kept, the server older", T, Whole, 0, T - 1, T, ".index"},
        {"cut short", T, CutShort, 0, T, 0, ".index"},
        {"a FIFO", T, Fifo, 0, T, 0, ".index"},
        {"a folder", T, Folder, 0, T, 0, ".index"},
        {"not the maker's", T, OtherKey, 0, T, 0, ".index"},
        {"the records' folder a file", 0, RecordsAFile, 0, T, 0, ".indexes"},
        {"another server's only", T, OtherServer, 0, T - 1, 0, nullptr},
        {"the old file, this server", 0, Whole, T, T + 1, T, nullptr},
        {"the old file, another server", 0, Whole, T, T - 1, T, ".last-index"},
        {"the old file, this server's own record first", T - 9, Whole, T, T - 1, T - 9, nullptr},
    };
    for (const Row& row : rows) {
        QTemporaryDir dir;
        const adv::test::Maker maker;
        adv::Config config;
        config.host = "ftp.a.it", config.remoteFolder = "/dolvo/../x\n", config.publicKey = maker.key();
        config.signingKey = dir.filePath(u"maker.key"_s);
        const auto indexAt = [](std::int64_t signedAt, const adv::test::Maker& by) {
            const std::string text =
                adv::ReleaseIndex{
                    "releases/dolvo.exe", 2, adv::minisign::hashOf("MZ"), signedAt, {}, {}, {}, 0, {}, 0, 0, {}}
                    .text();
            return adv::sealedIndex(by.signatureOf(text, adv::minisign::trustedComment(signedAt, adv::kIndexName)),
                                    text);
        };
        const QDir records(adv::indexMemoryFolder(config));
        config.ftp.port = row.as == OtherServer ? 2121 : 21;
        EXPECT_TRUE(!row.kept ||
                    adv::rememberIndex(config, indexAt(row.kept, row.as == OtherKey ? adv::test::Maker() : maker)));
        config.ftp.port = 21;
        const QString record = records.filePath(records.entryList(QDir::Files).value(0));
        if (row.as == CutShort)
            QFile(record).resize(200);
        if (row.as == Fifo || row.as == Folder)
            QFile::remove(record),
                row.as == Fifo ? ::mkfifo(qPrintable(record), 0600) : ::mkdir(qPrintable(record), 0700);
        if (row.as == RecordsAFile)
            adv::test::writeFile(records.path(), "x");
        if (row.legacy)
            adv::test::writeFile(config.signingKey + u".last-index"_s,
                                 QByteArray::fromStdString(indexAt(row.legacy, maker)));

        const adv::IndexMemory memory = adv::recallIndex(config, row.served);
        EXPECT_EQ(memory.signedAt, row.signedAt) << row.label;
        const bool namesIt = memory.refused && memory.refused->text.contains(memory.path);
        EXPECT_TRUE(row.refusedFor ? namesIt && memory.path.endsWith(QLatin1StringView(row.refusedFor))
                                   : !memory.refused)
            << row.label << ": " << memory.refused.value_or(adv::Cause()).text.toStdString();
        // One plain name per server and folder, the record its owner's alone.
        for (const QString& name : records.entryList(QDir::Files)) {
            EXPECT_TRUE(name.startsWith(u"ftp.a.it,"_s) && name.endsWith(u",%2Fdolvo%2F..%2Fx%0A.index"_s))
                << row.label;
            EXPECT_EQ(adv::test::modeOf(records.filePath(name)), 0600) << row.label;
        }
    }
}

}  // namespace
