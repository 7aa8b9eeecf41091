// The configuration file: values read, and every kind of mistake named.
#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <initializer_list>
#include <tuple>

#include "app/core/Config.h"
#include "app/core/ExitStatus.h"
#include "app/core/KeyValueText.h"
#include "platform/OrdinaryFile.h"
#include "tests/support/FileSetup.h"

using namespace Qt::StringLiterals;

namespace {

// The mode is the Unix one, on Windows too: Wine makes the file's access
// list from it.
QString writeIni(const QTemporaryDir& dir, const QString& text, int mode = 0600)
{
    const QString path = dir.filePath(u"AggiornaDV.ini"_s);
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    f.close();
    EXPECT_TRUE(adv::test::setMode(path, mode)) << path.toStdString();
    return path;
}

TEST(Config, ReadsEveryKey)
{
    QTemporaryDir dir;
    const QString ini = writeIni(dir, u"root = %1\n"
                                      "close_grace_s = 0.5\n"
                                      "show_download = true\n"
                                      "host = 127.0.0.1\n"
                                      "port = 2121\n"
                                      "user = operatore\n"
                                      "password = \"uno,due\"\n"
                                      "tls = explicit\n"
                                      "remote_folder = www.example.it/download\n"
                                      "use_epsv = false\n"
                                      "connect_timeout_s = 5\n"
                                      "stall_timeout_s = 7\n"_s.arg(dir.path()));
    const adv::ConfigResult r = adv::loadConfig(ini);
    ASSERT_TRUE(r.config) << r.cause.text.toStdString();
    const adv::Config& c = *r.config;
    EXPECT_EQ(c.root, std::filesystem::path(dir.path().toStdString()));
    EXPECT_EQ(c.closeGrace.count(), 500);
    EXPECT_TRUE(c.showDownload);
    EXPECT_EQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.ftp.port, 2121);
    EXPECT_EQ(c.user, "operatore");
    EXPECT_EQ(c.password, "uno,due");
    EXPECT_EQ(c.ftp.tls, adv::platform::FtpTls::Explicit);
    EXPECT_EQ(c.remoteFolder, "www.example.it/download");
    EXPECT_FALSE(c.ftp.useEpsv);
    EXPECT_EQ(c.ftp.connectTimeout, std::chrono::seconds(5));
    EXPECT_EQ(c.ftp.stallTimeout, std::chrono::seconds(7));
    EXPECT_TRUE(r.warning.isEmpty()) << "0600 is private enough";
}

TEST(Config, DefaultsWhenKeysAreAbsent)
{
    QTemporaryDir dir;
    const adv::ConfigResult r = adv::loadConfig(writeIni(dir, u"; nothing set\n"_s));
    ASSERT_TRUE(r.config);
    EXPECT_EQ(r.config->root, adv::platform::defaultRoot());
    EXPECT_EQ(r.config->closeGrace.count(), 3000);
    EXPECT_FALSE(r.config->showDownload);
    EXPECT_EQ(r.config->host, "ftp.zorvanik.it");
    EXPECT_EQ(r.config->remoteFolder, "www.zorvanik.it/download");
    EXPECT_EQ(r.config->ftp.port, 21);
    EXPECT_EQ(r.config->ftp.tls, adv::platform::FtpTls::Off);
    EXPECT_TRUE(r.config->ftp.useEpsv);
}

struct BadCase {
    const char* label;
    const char* text;
    const char* key;        // must be named in the message
    const char* complaint;  // and what is wrong
    int line = 1;           // and where
};

class BadConfig : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadConfig, IsOneLineNamingFileAndKey)
{
    QTemporaryDir dir;
    const QString ini = writeIni(dir, QString::fromUtf8(GetParam().text));
    const adv::ConfigResult r = adv::loadConfig(ini);
    ASSERT_FALSE(r.config);
    const std::string msg = r.cause.text.toStdString();
    EXPECT_NE(msg.find(ini.toStdString() + ":" + std::to_string(GetParam().line) + ":"), std::string::npos) << msg;
    EXPECT_NE(msg.find(GetParam().key), std::string::npos) << msg;
    EXPECT_NE(msg.find(GetParam().complaint), std::string::npos) << msg;
    EXPECT_EQ(msg.find('\n'), std::string::npos) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfig,
    ::testing::Values(
        BadCase{"negativeGrace", "close_grace_s = -1\n", "close_grace_s", "secondi"},
        BadCase{"wordyGrace", "close_grace_s = tre\n", "close_grace_s", "\"tre\""},
        BadCase{"missingRoot", "root = /nonexistent/aggiornadv-test-root\n", "root", "non esiste"},
        BadCase{"portOutOfRange", "port = 70000\n", "port", "70000"},
        BadCase{"tlsUnknown", "tls = sometimes\n", "tls", "explicit"},
        BadCase{"flagNotBool", "show_download = forse\n", "show_download", "true o false"},
        BadCase{"zeroTimeout", "stall_timeout_s = 0\n", "stall_timeout_s", "da 1"},
        BadCase{"emptyHost", "host =\n", "host", "non è un nome"},
        BadCase{"missingCaFile", "ca_file = /nonexistent/ca.pem\n", "ca_file", "non esiste"},
        BadCase{"misspelledKey", "hots = ftp.example.it\n", "hots", "sconosciuta"},
        // Read literally, and refused whole when it cannot be.
        BadCase{"unterminatedQuote", "user = x\npassword = \"pa\nhost = evil\n", "password", "virgolette", 2},
        BadCase{"controlCharacter",
                "user = a\x01"
                "b\n",
                "user", "\\x01"},
        BadCase{"carriageReturnInside", "user = op\rDELE victim\n", "user", "carattere di controllo"},
        BadCase{"tabInside", "password = a\tb\n", "password", "carattere di controllo"},
        BadCase{"notKeyValue", "# ok\n\nsolo parole\n", "solo parole", "chiave = valore", 3},
        BadCase{"sectionHeader", "[General]\nhost = a.it\n", "[General]", "chiave = valore"},
        BadCase{"keyTwice", "host = a.example.it\nport = 21\nhost = b.example.it\n", "host", "più di una volta", 3},
        BadCase{"hostWithSlash", "host = ftp.example.it/x\n", "host", "non è un nome"},
        BadCase{"hostWithSpace", "host = ftp example.it\n", "host", "non è un nome"},
        BadCase{"hostWithAt", "host = user@ftp.example.it\n", "host", "non è un nome"},
        BadCase{"rateNotANumber", "min_rate_bps = veloce\n", "min_rate_bps", "numero intero"},
        BadCase{"zeroDownloadBound", "max_download_mb = 0\n", "max_download_mb", "da 1"},
        BadCase{"keyNotBase64", "public_key = RWnonunachiave\n", "public_key", "non è una chiave"},
        BadCase{"keyCut", "public_key = RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73\n", "public_key",
                "non è una chiave"},
        BadCase{"keyOfAnotherKind", "public_key = UWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3\n",
                "public_key", "non è una chiave"}),
    [](const auto& row) { return std::string(row.param.label); });

TEST(Config, FileThatCannotBeRead)
{
    QTemporaryDir dir;
    const adv::ConfigResult missing = adv::loadConfig(dir.filePath(u"nope.ini"_s));
    ASSERT_FALSE(missing.config);
    EXPECT_TRUE(missing.cause.text.contains(u"non esiste"_s)) << missing.cause.text.toStdString();

    const adv::ConfigResult folder = adv::loadConfig(dir.path());
    ASSERT_FALSE(folder.config);
    EXPECT_TRUE(folder.cause.text.contains(u"non si può leggere"_s)) << folder.cause.text.toStdString();
}

TEST(Config, WarnsWhenOthersCanReadThePassword)
{
    QTemporaryDir dir;
    const int shared = 0604;
    const adv::ConfigResult r = adv::loadConfig(writeIni(dir, u"password = segreto\n"_s, shared));
    ASSERT_TRUE(r.config);
    EXPECT_TRUE(r.warning.contains(u"password"_s));
    EXPECT_FALSE(r.warning.contains(u"segreto"_s)) << "the password itself is never shown";

    const adv::ConfigResult noPassword = adv::loadConfig(writeIni(dir, u"user = x\n"_s, shared));
    EXPECT_TRUE(noPassword.warning.isEmpty());
}

// What an operator writes is what the program uses, byte for byte.
TEST(Config, ValuesAreTakenLiterally)
{
    QTemporaryDir dir;
    const adv::ConfigResult r = adv::loadConfig(writeIni(dir, u"\uFEFFuser = a ;b\r\n"
                                                              "password = abc\\\r\n"
                                                              "  tls = explicit\r\n"
                                                              "remote_folder = \"  www.x.it/d\\b  \"\n"
                                                              "ca_file =\n"
                                                              "; password = other\n"
                                                              "   # host = other\n"
                                                              "host = [::1]\n"
                                                              "min_rate_bps = 0\n"
                                                              "max_download_mb = 64\n"_s));
    ASSERT_TRUE(r.config) << r.cause.text.toStdString();
    EXPECT_EQ(r.config->user, "a ;b");
    EXPECT_EQ(r.config->password, "abc\\") << "no continuation lines";
    EXPECT_EQ(r.config->ftp.tls, adv::platform::FtpTls::Explicit);
    EXPECT_EQ(r.config->remoteFolder, "  www.x.it/d\\b  ") << "quotes keep the spaces, escapes stay as written";
    EXPECT_EQ(r.config->host, "[::1]");
    EXPECT_EQ(r.config->ftp.minRateBps, 0);
    EXPECT_EQ(r.config->ftp.maxDownloadBytes, 64 * 1024 * 1024);

    const adv::ConfigResult quoted = adv::loadConfig(writeIni(dir, u"password = pa\"ss\nuser = \"\"\n"_s));
    ASSERT_TRUE(quoted.config) << quoted.cause.text.toStdString();
    EXPECT_EQ(quoted.config->password, "pa\"ss") << "a quote inside a value is a character like any other";
    EXPECT_EQ(quoted.config->user, "");
}

// The file decides what gets installed and run: others may not write it,
// nor put another in its place.
TEST(Config, AFileOrFolderOthersMayWriteIsRefused)
{
    // The file's mode, its folder's, and what the refusal names (nullptr: accepted).
    for (const auto& [fileMode, folderMode, refused] : std::initializer_list<std::tuple<int, int, const char*>>{
             {0620, 0700, "modificato da altri"},
             {0602, 0700, "modificato da altri"},
             {0600, 0707, "la cartella"},
             {0600, 01733, adv::test::kStickyFoldersCount ? nullptr : "la cartella"}}) {
        if ((fileMode & 0070) != 0 && !adv::test::kGroupBitsCount)
            continue;
        QTemporaryDir dir;
        const QString ini = writeIni(dir, u"user = x\n"_s, fileMode);
        ASSERT_TRUE(adv::test::setMode(dir.path(), folderMode));
        const adv::ConfigResult r = adv::loadConfig(ini);
        EXPECT_EQ(r.config.has_value(), refused == nullptr) << std::oct << fileMode << " " << folderMode;
        EXPECT_TRUE(refused == nullptr || r.cause.text.contains(QString::fromUtf8(refused)))
            << r.cause.text.toStdString();
    }
}

TEST(Config, ShownValuesNeverReachTheTerminalRaw)
{
    EXPECT_EQ(adv::shownValue("più"), u"più"_s);
    EXPECT_EQ(adv::shownValue("a\x1b[2Jb"), u"a\\x1b[2Jb"_s);
    EXPECT_EQ(adv::shownValue("\xff\xfe"), u"\\xff\\xfe"_s);
    EXPECT_EQ(adv::shownValue("a\u2028b\u2029"), u"a\\xe2\\x80\\xa8b\\xe2\\x80\\xa9"_s);
}

// The README's table of keys mirrors the key table: every key, in order,
// with its default.
TEST(Config, TheReadmeListsEveryKeyWithItsDefault)
{
    QFile readme(QStringLiteral(ADV_SOURCE_DIR "/README.md"));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    QStringList rows;
    for (const QByteArray& line : readme.readAll().split('\n')) {
        if (line.startsWith("| `"))
            rows << QString::fromUtf8(line);
    }
    const std::vector<adv::ConfigKey> keys = adv::configKeys();
    ASSERT_EQ(rows.size(), static_cast<qsizetype>(keys.size())) << rows.join(u'\n').toStdString();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const QStringList cells = rows[static_cast<qsizetype>(i)].split(u'|');
        ASSERT_GE(cells.size(), 3);
        EXPECT_EQ(cells[1].trimmed(), u"`"_s + QString::fromLatin1(keys[i].name) + u'`');
        const QString shown = cells[2].trimmed();
        if (keys[i].defaultText.empty())
            EXPECT_TRUE(shown.startsWith(u'(')) << shown.toStdString();
        else
            EXPECT_EQ(shown, u"`"_s + QString::fromUtf8(keys[i].defaultText) + u'`');
    }
}

// And its table of exit statuses mirrors the program's, which --help prints.
TEST(Config, TheReadmeListsEveryExitStatusInOrder)
{
    QFile readme(QStringLiteral(ADV_SOURCE_DIR "/README.md"));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    QStringList listed, expected;
    static const QRegularExpression row(u"^\\| (\\d+) \\|"_s);
    for (const QByteArray& line : readme.readAll().split('\n')) {
        if (const auto match = row.match(QString::fromUtf8(line)); match.hasMatch())
            listed << match.captured(1);
    }
    for (const adv::ExitStatusMeaning& meaning : adv::kExitStatuses)
        expected << QString::number(adv::code(meaning.status));
    EXPECT_EQ(listed, expected);
}

// The defaults that callers without a configuration get are the table's.
TEST(Config, TheSessionsOwnDefaultsAreTheTables)
{
    const adv::Config defaults;
    EXPECT_TRUE(defaults.ftp == adv::platform::FtpOptions{});
}

}  // namespace
