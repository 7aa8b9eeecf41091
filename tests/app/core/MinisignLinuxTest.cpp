// The maker's keys and signatures are Debian's minisign's: a key it made, with
// a password or without, signs what it verifies.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>
#include <string>

#include "app/core/Minisign.h"
#include "tests/support/MinisignMaker.h"

using namespace Qt::StringLiterals;

namespace {

QByteArray run(const QStringList& arguments, const QByteArray& input = {}, int* status = nullptr)
{
    QProcess minisign;
    minisign.start(u"minisign"_s, arguments);
    minisign.write(input);
    minisign.closeWriteChannel();
    EXPECT_TRUE(minisign.waitForFinished(60000)) << arguments.join(u' ').toStdString();
    if (status != nullptr)
        *status = minisign.exitCode();
    return minisign.readAll();
}

std::string read(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll().toStdString();
}

TEST(MinisignKeys, AKeyMinisignMadeSignsWhatMinisignVerifies)
{
    QTemporaryDir dir;
    const QString sealed = dir.filePath(u"sealed"_s), open = dir.filePath(u"open"_s);
    run({u"-G"_s, u"-p"_s, sealed + u".pub"_s, u"-s"_s, sealed + u".key"_s}, "segreto\nsegreto\n");
    run({u"-G"_s, u"-W"_s, u"-p"_s, open + u".pub"_s, u"-s"_s, open + u".key"_s});
    const std::string program = "MZ il programma";
    const QString signedFile = dir.filePath(u"dolvo.exe"_s);
    QFile out(signedFile);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(program.data(), qint64(program.size())) > 0);
    out.close();

    struct Row {
        const char* label;
        QString keyFile, publicFile;
        std::string password;
        std::optional<bool> sealed;  // nothing: not a secret key
        const char* refused;         // nullptr: it signs
    } rows[] = {
        {"sealed, its password", sealed + u".key"_s, sealed + u".pub"_s, "segreto", true, nullptr},
        {"sealed, another password", sealed + u".key"_s, {}, "segreta", true, "wrong password"},
        {"open", open + u".key"_s, open + u".pub"_s, "", false, nullptr},
        {"a public key instead", sealed + u".pub"_s, {}, "segreto", std::nullopt, "not a minisign secret key"},
    };
    for (const Row& row : rows) {
        const std::string text = read(row.keyFile);
        EXPECT_EQ(adv::minisign::SecretKey::sealed(text), row.sealed) << row.label;
        adv::minisign::SecretKeyRead opened = adv::minisign::SecretKey::read(text, row.password);
        if (row.refused) {
            EXPECT_FALSE(opened.key) << row.label;
            EXPECT_NE(opened.check.failure.find(row.refused), std::string::npos) << row.label;
            continue;
        }
        ASSERT_TRUE(opened.key) << row.label << ": " << opened.check.failure;
        const std::string signature = opened.key->sign(adv::test::oneShot({program.begin(), program.end()}),
                                                       "timestamp:1700000000\tfile:dolvo.exe");
        QFile sig(signedFile + u".minisig"_s);
        ASSERT_TRUE(sig.open(QIODevice::WriteOnly) && sig.write(signature.data(), qint64(signature.size())) > 0);
        sig.close();
        int status = -1;
        const QByteArray said = run({u"-V"_s, u"-p"_s, row.publicFile, u"-m"_s, signedFile}, {}, &status);
        EXPECT_EQ(status, 0) << row.label << ": " << said.toStdString();
        // And the key this program finds in the key is the one minisign wrote beside it.
        const std::string pub = read(row.publicFile);
        const auto written =
            adv::minisign::parsePublicKey(QString::fromStdString(pub).split(u'\n').value(1).toStdString());
        ASSERT_TRUE(written) << row.label;
        EXPECT_TRUE(opened.key->publicKey().id == written->id && opened.key->publicKey().key == written->key)
            << row.label;
    }
}

}  // namespace
