#include "app/core/Config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <system_error>

#include "app/core/KeyValueText.h"
#include "platform/OrdinaryFile.h"
#include "platform/Strings.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// Reads the values of one file into a Config; the first problem wins and
// becomes the one-line error the operator sees.
class Reader {
public:
    Reader(Config& config, QString file) : config_(config), file_(std::move(file)) {}

    bool failed() const { return !error_.isEmpty(); }
    QString error() const { return error_; }

    void parse(std::string_view text);

    // One row per key the file may hold: its name, its default as it would
    // be written in the file, and its reader. A Config starts from these
    // defaults, read as if a file held them: they are written nowhere else.
    struct Key {
        std::string_view name;
        std::string_view defaultText;
        void (Reader::*read)(std::string_view value);
    };
    static const std::array<Key, 33> kKeys;

    static void readDefaults(Config& config)
    {
        Reader reader(config, QString());
        for (const Key& key : kKeys)
            (reader.*key.read)(key.defaultText);
    }

private:
    void fail(const QString& what)
    {
        if (error_.isEmpty())
            error_ = u"%1:%2: %3"_s.arg(file_).arg(line_).arg(what);
    }
    void failKey(const QString& what) { fail(u"chiave %1: %2"_s.arg(QString::fromLatin1(key_), what)); }

    std::optional<long long> integer(std::string_view value, long long min, long long max)
    {
        long long n = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (error != std::errc() || end != value.data() + value.size() || n < min || n > max) {
            failKey(
                u"deve essere un numero intero da %1 a %2 (letto \"%3\")"_s.arg(min).arg(max).arg(shownValue(value)));
            return std::nullopt;
        }
        return n;
    }
    // A whole number in [min, max] into `out` (a count, or seconds).
    template <class Out>
    void number(std::string_view value, long long min, long long max, Out& out)
    {
        if (auto n = integer(value, min, max))
            out = Out(*n);
    }
    std::optional<bool> flag(std::string_view value)
    {
        std::string lower(value);
        for (char& c : lower)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower == "true" || lower == "1" || lower == "yes" || lower == "on")
            return true;
        if (lower == "false" || lower == "0" || lower == "no" || lower == "off")
            return false;
        failKey(u"deve essere true o false (letto \"%1\")"_s.arg(shownValue(value)));
        return std::nullopt;
    }
    void boolean(std::string_view value, bool& out)
    {
        if (const auto b = flag(value))
            out = *b;
    }
    void text(std::string_view value, std::string& out, bool mayBeEmpty)
    {
        if (!mayBeEmpty && value.empty())
            return failKey(u"non può essere vuoto"_s);
        out = std::string(value);
    }
    // The file is UTF-8 on every system, names included, whatever the
    // locale or the Windows code page says.
    static QString path(std::string_view value) { return QString::fromUtf8(value.data(), qsizetype(value.size())); }

    void readRoot(std::string_view v)
    {
        // The key table's default: the top of the drive the program runs on.
        if (v == "/") {
            config_.root = platform::defaultRoot();
            return;
        }
        if (platform::isDriveName(v)) {
            if (!QFileInfo(path(v) + u'/').isDir())
                return failKey(u"l'unità \"%1\" non esiste"_s.arg(shownValue(v)));
            config_.root = std::filesystem::path(path(v).toLower().toStdU16String());
            return;
        }
        const QFileInfo info(path(v));
        if (v.empty() || !info.isDir())
            return failKey(u"la cartella \"%1\" non esiste"_s.arg(shownValue(v)));
        // The top of a drive (\ on the current one, or D:\) is that drive,
        // written as the window shows a drive: "d:".
        const QString absolute = info.absoluteFilePath();
        if (const QString drive = absolute.left(2);
            absolute.size() == 3 && absolute.endsWith(u'/') && platform::isDriveName(drive.toStdString())) {
            config_.root = std::filesystem::path(drive.toLower().toStdU16String());
            return;
        }
        config_.root = std::filesystem::path(QDir::toNativeSeparators(absolute).toStdU16String());
    }
    void readCloseGrace(std::string_view v)
    {
        double s = 0;
        const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), s, std::chars_format::fixed);
        if (error != std::errc() || end != v.data() + v.size() || !std::isfinite(s) || s < 0 || s > 3600)
            return failKey(u"deve essere un numero di secondi da 0 a 3600 (letto \"%1\")"_s.arg(shownValue(v)));
        config_.closeGrace = std::chrono::milliseconds(std::llround(s * 1000));
    }
    void readShowDownload(std::string_view v) { boolean(v, config_.showDownload); }
    void readHost(std::string_view v)
    {
        if (!isValidHostName(v))
            return failKey(u"\"%1\" non è un nome di server o un indirizzo valido"_s.arg(shownValue(v)));
        config_.host = std::string(v);
    }
    void readPort(std::string_view v) { number(v, 1, 65535, config_.ftp.port); }
    void readUser(std::string_view v) { text(v, config_.user, true); }
    void readPassword(std::string_view v) { text(v, config_.password, true); }
    void readTls(std::string_view v)
    {
        if (v == "off")
            config_.ftp.tls = platform::FtpTls::Off;
        else if (v == "explicit")
            config_.ftp.tls = platform::FtpTls::Explicit;
        else if (v == "implicit")
            config_.ftp.tls = platform::FtpTls::Implicit;
        else
            failKey(u"deve essere off, explicit o implicit (letto \"%1\")"_s.arg(shownValue(v)));
    }
    void readCaFile(std::string_view v)
    {
        if (v.empty())
            return;
        const QFileInfo info(path(v));
        if (!info.isFile() || !info.isReadable())
            return failKey(u"il file \"%1\" non esiste o non si può leggere"_s.arg(shownValue(v)));
        config_.ftp.caFile = QFile::encodeName(info.absoluteFilePath()).toStdString();
    }
    void readRemoteFolder(std::string_view v) { text(v, config_.remoteFolder, false); }
    void readSigningKey(std::string_view v)
    {
        config_.signingKey = v.empty() ? QString() : QFileInfo(path(v)).absoluteFilePath();
    }
    void readKeepReleases(std::string_view v) { number(v, 1, 100, config_.keepReleases); }
    void readRefreshKey(std::string_view v)
    {
        config_.refreshKey = v.empty() ? QString() : QFileInfo(path(v)).absoluteFilePath();
    }
    void readIndexValidDays(std::string_view v) { number(v, 1, 366, config_.indexValidDays); }
    void readSiteId(std::string_view v)
    {
        // Written in the log and mixed into a hash: plain letters, digits and - _ . only.
        if (v.size() > 64 || !std::all_of(v.begin(), v.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '.';
            }))
            return failKey(u"al massimo 64 lettere, cifre, - _ o . (letto \"%1\")"_s.arg(shownValue(v)));
        config_.siteId = std::string(v);
    }
    void readGroup(std::string_view v)
    {
        if (v == "pilota")
            config_.group = SiteGroup::Pilot;
        else if (v == "normale")
            config_.group = SiteGroup::Normal;
        else if (v == "ultimo")
            config_.group = SiteGroup::Last;
        else
            failKey(u"deve essere pilota, normale o ultimo (letto \"%1\")"_s.arg(shownValue(v)));
    }
    void readReport(std::string_view v) { boolean(v, config_.report); }
    void readReportUser(std::string_view v) { text(v, config_.reportUser, true); }
    void readReportPassword(std::string_view v) { text(v, config_.reportPassword, true); }
    void readReportFolder(std::string_view v) { text(v, config_.reportFolder, true); }
    void readRandomDelay(std::string_view v) { number(v, 0, 24 * 3600, config_.randomDelay); }
    void readRetry(std::string_view v) { number(v, 0, 10, config_.retries); }
    void readRetryBase(std::string_view v) { number(v, 1, 3600, config_.retryBase); }
    void readRetryMax(std::string_view v) { number(v, 1, 3600, config_.retryMax); }
    void readWorkingHours(std::string_view v)
    {
        config_.workingHours.reset();
        if (v.empty())
            return;
        const auto minute = [](std::string_view t) -> std::optional<int> {
            const bool digits = t.size() == 5 && t[2] == ':' && std::all_of(t.begin(), t.end(), [](char c) {
                                    return c == ':' || (c >= '0' && c <= '9');
                                });
            const int h = digits ? (t[0] - '0') * 10 + (t[1] - '0') : 99,
                      m = digits ? (t[3] - '0') * 10 + (t[4] - '0') : 99;
            return h < 24 && m < 60 ? std::optional<int>(h * 60 + m) : std::nullopt;
        };
        const auto dash = v.find('-');
        const auto from = dash == std::string_view::npos ? std::nullopt : minute(v.substr(0, dash));
        const auto to = dash == std::string_view::npos ? std::nullopt : minute(v.substr(dash + 1));
        if (!from || !to || *from == *to)
            return failKey(u"deve essere un intervallo come 08:00-20:00 (letto \"%1\")"_s.arg(shownValue(v)));
        config_.workingHours = WorkingHours{*from, *to};
    }
    void readProxy(std::string_view v)
    {
        config_.ftp.proxy.clear();
        config_.ftp.proxyFromEnvironment = v == "ambiente";
        if (v.empty() || v == "ambiente")
            return;
        const auto scheme = v.find("://");
        const std::string_view kind = v.substr(0, scheme == std::string_view::npos ? 0 : scheme);
        if ((kind != "socks5" && kind != "socks5h" && kind != "http") || v.size() <= scheme + 3)
            // Not echoed: it may carry the proxy's password.
            return failKey(u"deve essere vuoto, ambiente, o socks5://, socks5h:// o http://host:porta"_s);
        config_.ftp.proxy = std::string(v);
    }
    void readLogFile(std::string_view v)
    {
        // Not written: the place of each OS. Written empty: no log.
        if (file_.isNull())
            config_.logFile.reset();
        else
            config_.logFile = v.empty() ? QString() : QFileInfo(path(v)).absoluteFilePath();
    }
    void readUseEpsv(std::string_view v) { boolean(v, config_.ftp.useEpsv); }
    void readConnectTimeout(std::string_view v) { number(v, 1, 3600, config_.ftp.connectTimeout); }
    void readStallTimeout(std::string_view v) { number(v, 1, 3600, config_.ftp.stallTimeout); }
    void readMinRate(std::string_view v) { number(v, 0, 1LL << 40, config_.ftp.minRateBps); }
    void readMaxDownload(std::string_view v)
    {
        if (auto n = integer(v, 1, 1LL << 20))
            config_.ftp.maxDownloadBytes = *n * 1024 * 1024;
    }
    void readPublicKey(std::string_view v)
    {
        if (v.empty())
            return;
        config_.publicKey = minisign::parsePublicKey(v);
        if (!config_.publicKey)
            failKey(u"non è una chiave pubblica minisign (la riga in base64 di minisign.pub, che inizia con "
                    u"\"RW\"; letto \"%1\")"_s.arg(shownValue(v)));
    }

    Config& config_;
    QString file_;
    QString error_;
    int line_ = 0;
    std::string_view key_;
};

const std::array<Reader::Key, 33> Reader::kKeys{{
    {"root", "/", &Reader::readRoot},
    {"close_grace_s", "3", &Reader::readCloseGrace},
    {"show_download", "false", &Reader::readShowDownload},
    {"host", "ftp.zorvanik.it", &Reader::readHost},
    {"port", "21", &Reader::readPort},
    {"user", "", &Reader::readUser},
    {"password", "", &Reader::readPassword},
    {"tls", "off", &Reader::readTls},
    {"ca_file", "", &Reader::readCaFile},
    {"remote_folder", "www.zorvanik.it/download", &Reader::readRemoteFolder},
    {"use_epsv", "true", &Reader::readUseEpsv},
    {"connect_timeout_s", "20", &Reader::readConnectTimeout},
    {"stall_timeout_s", "30", &Reader::readStallTimeout},
    {"proxy", "", &Reader::readProxy},
    {"min_rate_bps", "1024", &Reader::readMinRate},
    {"max_download_mb", "512", &Reader::readMaxDownload},
    {"public_key", "", &Reader::readPublicKey},
    {"log_file", "", &Reader::readLogFile},
    {"signing_key", "", &Reader::readSigningKey},
    {"keep_releases", "3", &Reader::readKeepReleases},
    {"refresh_key", "", &Reader::readRefreshKey},
    {"index_valid_days", "14", &Reader::readIndexValidDays},
    {"site_id", "", &Reader::readSiteId},
    {"gruppo", "normale", &Reader::readGroup},
    {"random_delay_s", "0", &Reader::readRandomDelay},
    {"retry", "2", &Reader::readRetry},
    {"retry_base_s", "30", &Reader::readRetryBase},
    {"retry_max_s", "600", &Reader::readRetryMax},
    {"ore_lavoro", "", &Reader::readWorkingHours},
    {"report", "true", &Reader::readReport},
    {"report_user", "", &Reader::readReportUser},
    {"report_password", "", &Reader::readReportPassword},
    {"report_folder", "", &Reader::readReportFolder},
}};

void Reader::parse(std::string_view text)
{
    std::vector<std::string_view> names;
    for (const Key& key : kKeys)
        names.push_back(key.name);
    const KeyValues read = readKeyValues(text, names);
    for (const KeyValue& value : read.values) {
        line_ = value.line;
        key_ = value.key;
        for (const Key& key : kKeys) {
            if (key.name == value.key)
                (this->*key.read)(value.value);
        }
        if (failed())
            return;
    }
    if (!read) {
        line_ = read.badLine;
        key_ = read.badKey;
        if (key_.empty())
            fail(read.cause.text);
        else
            failKey(read.cause.text);
    }
}

}  // namespace

bool isValidHostName(std::string_view host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() > 253)
        return false;
    if (host.find(':') != std::string_view::npos) {
        // IPv6: libcurl checks the form; here only that nothing else hides in it.
        int colons = 0;
        for (const char c : host) {
            if (c == ':')
                ++colons;
            else if (!platform::isHexDigit(c) && c != '.')
                return false;
        }
        return colons >= 2 && host.size() <= 45;
    }
    std::size_t start = 0;
    while (start <= host.size()) {
        const auto dot = std::min(host.find('.', start), host.size());
        const std::string_view label = host.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label) {
            const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
            if (!ok)
                return false;
        }
        start = dot + 1;
    }
    return true;
}

std::vector<ConfigKey> configKeys()
{
    std::vector<ConfigKey> keys;
    for (const Reader::Key& key : Reader::kKeys)
        keys.push_back({key.name, key.defaultText});
    return keys;
}

Config::Config()
{
    Reader::readDefaults(*this);
}

Refusal readConfigText(Config& config, std::string_view text, const QString& file)
{
    Reader reader(config, file);
    reader.parse(text);
    if (reader.failed())
        return reader.error();
    return std::nullopt;
}

}  // namespace adv
