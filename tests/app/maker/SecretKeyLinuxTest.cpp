// The maker's keys and signatures are Debian's minisign's: a key it made, with
// a password or without, signs what it verifies.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <optional>

#include "app/maker/SecretKey.h"
#include "tests/support/Files.h"

using namespace Qt::StringLiterals;

namespace {

int minisign(const QStringList& arguments, const QByteArray& input = {})
{
    QProcess run;
    run.start(u"minisign"_s, arguments);
    run.write(input);
    run.closeWriteChannel();
    EXPECT_TRUE(run.waitForFinished(60000)) << arguments.join(u' ').toStdString();
    return run.exitCode();
}

TEST(MinisignKeys, AKeyMinisignMadeSignsWhatMinisignVerifies)
{
    QTemporaryDir dir;
    const QString sealed = dir.filePath(u"sealed"_s), open = dir.filePath(u"open"_s), signedFile = dir.filePath(u"f"_s);
    minisign({u"-G"_s, u"-p"_s, sealed + u".pub"_s, u"-s"_s, sealed + u".key"_s}, "segreto\nsegreto\n");
    minisign({u"-G"_s, u"-W"_s, u"-p"_s, open + u".pub"_s, u"-s"_s, open + u".key"_s});
    const std::string program = "MZ il programma";
    adv::test::writeFile(signedFile, QByteArray::fromStdString(program));
    const struct {
        QString key;
        std::string password;
        std::optional<bool> sealed;  // nothing: not a secret key
        const char* refused;         // nullptr: it signs
    } rows[] = {{sealed, "segreto", true, nullptr},
                {sealed, "segreta", true, "wrong password"},
                {open, "", false, nullptr},
                {sealed + u".pub"_s, "segreto", std::nullopt, "not a minisign secret key"}};
    for (const auto& row : rows) {
        const std::string text =
            adv::test::readFile(row.key.endsWith(u".pub"_s) ? row.key : row.key + u".key"_s).toStdString();
        EXPECT_EQ(adv::minisign::SecretKey::sealed(text), row.sealed) << row.password;
        const adv::minisign::SecretKeyRead opened = adv::minisign::SecretKey::read(text, row.password);
        ASSERT_EQ(opened.key.has_value(), !row.refused) << row.password << ": " << opened.check.detail;
        if (row.refused) {
            EXPECT_NE(opened.check.detail.find(row.refused), std::string::npos) << opened.check.detail;
            continue;
        }
        adv::test::writeFile(signedFile + u".minisig"_s,
                             QByteArray::fromStdString(opened.key->sign(adv::minisign::hashOf(program),
                                                                        "timestamp:1700000000\tfile:dolvo.exe")));
        EXPECT_EQ(minisign({u"-V"_s, u"-p"_s, row.key + u".pub"_s, u"-m"_s, signedFile}), 0) << row.password;
    }
}

}  // namespace
