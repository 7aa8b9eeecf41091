#include "app/Config.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <cmath>

using namespace Qt::StringLiterals;

namespace adv {
namespace {

const QString kFileName = u"AggiornaDV.ini"_s;

const QStringList kKnownKeys{
    u"root"_s, u"close_grace_s"_s, u"show_download"_s, u"host"_s, u"port"_s, u"user"_s,
    u"password"_s, u"tls"_s, u"ca_file"_s, u"remote_folder"_s, u"use_epsv"_s,
    u"connect_timeout_s"_s, u"stall_timeout_s"_s,
};

// Reads typed values out of one QSettings file; the first problem wins and
// becomes the one-line error the operator sees.
class Reader {
public:
    Reader(QSettings& settings, const QString& file) : settings_(settings), file_(file) {}

    bool failed() const { return !error_.isEmpty(); }
    QString error() const { return error_; }

    // QSettings splits a value at commas; a password or a folder may hold one.
    std::optional<QString> text(const QString& key)
    {
        if (!settings_.contains(key))
            return std::nullopt;
        const QVariant v = settings_.value(key);
        if (v.typeId() == QMetaType::QStringList)
            return v.toStringList().join(u',');
        return v.toString();
    }

    void string(const QString& key, std::string& out, bool mayBeEmpty = true)
    {
        if (auto v = text(key)) {
            if (!mayBeEmpty && v->trimmed().isEmpty())
                return fail(key, u"non può essere vuoto"_s);
            out = v->toStdString();
        }
    }

    void number(const QString& key, int& out, int min, int max)
    {
        if (auto v = text(key)) {
            bool ok = false;
            const int n = v->trimmed().toInt(&ok);
            if (!ok || n < min || n > max)
                return fail(key, u"deve essere un numero intero da %1 a %2 (letto \"%3\")"_s
                                     .arg(min).arg(max).arg(*v));
            out = n;
        }
    }

    void seconds(const QString& key, std::chrono::milliseconds& out)
    {
        if (auto v = text(key)) {
            bool ok = false;
            const double s = v->trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(s) || s < 0 || s > 3600)
                return fail(key, u"deve essere un numero di secondi da 0 a 3600 (letto \"%1\")"_s.arg(*v));
            out = std::chrono::milliseconds(std::llround(s * 1000));
        }
    }

    void flag(const QString& key, bool& out)
    {
        if (auto v = text(key)) {
            const QString s = v->trimmed().toLower();
            if (s == u"true" || s == u"1" || s == u"yes" || s == u"on")
                out = true;
            else if (s == u"false" || s == u"0" || s == u"no" || s == u"off")
                out = false;
            else
                fail(key, u"deve essere true o false (letto \"%1\")"_s.arg(*v));
        }
    }

    void fail(const QString& key, const QString& what)
    {
        if (error_.isEmpty())
            error_ = u"%1: chiave %2: %3"_s.arg(file_, key, what);
    }

private:
    QSettings& settings_;
    QString file_;
    QString error_;
};

QString findConfigFile()
{
    // The user's own folder first, then the system-wide one.
    return QStandardPaths::locate(QStandardPaths::AppConfigLocation, kFileName);
}

}  // namespace

ConfigResult loadConfig(const QString& explicitFile)
{
    ConfigResult result;
    Config config;
    const QString file = explicitFile.isEmpty() ? findConfigFile() : explicitFile;
    if (file.isEmpty()) {
        result.config = config;
        return result;
    }

    const QFileInfo info(file);
    if (!info.exists())
        return {std::nullopt, u"%1: il file di configurazione non esiste"_s.arg(file), {}};
    if (!info.isFile() || !info.isReadable())
        return {std::nullopt, u"%1: il file di configurazione non si può leggere"_s.arg(file), {}};

    QSettings settings(file, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return {std::nullopt, u"%1: il file di configurazione non è un file INI valido"_s.arg(file), {}};
    config.file = info.absoluteFilePath();

    Reader in(settings, file);
    for (const QString& key : settings.allKeys()) {
        if (!kKnownKeys.contains(key))
            in.fail(key, u"chiave sconosciuta"_s);
    }

    if (auto root = in.text(u"root"_s)) {
        const QFileInfo rootInfo(*root);
        if (root->isEmpty() || !rootInfo.isDir())
            in.fail(u"root"_s, u"la cartella \"%1\" non esiste"_s.arg(*root));
        else
            config.root = std::filesystem::path(rootInfo.absoluteFilePath().toStdString());
    }
    in.seconds(u"close_grace_s"_s, config.closeGrace);
    in.flag(u"show_download"_s, config.showDownload);
    in.string(u"host"_s, config.host, false);
    in.number(u"port"_s, config.ftp.port, 1, 65535);
    in.string(u"user"_s, config.user);
    in.string(u"password"_s, config.password);
    if (auto tls = in.text(u"tls"_s)) {
        const QString t = tls->trimmed().toLower();
        if (t == u"off")
            config.ftp.tls = platform::FtpTls::Off;
        else if (t == u"explicit")
            config.ftp.tls = platform::FtpTls::Explicit;
        else if (t == u"implicit")
            config.ftp.tls = platform::FtpTls::Implicit;
        else
            in.fail(u"tls"_s, u"deve essere off, explicit o implicit (letto \"%1\")"_s.arg(*tls));
    }
    if (auto ca = in.text(u"ca_file"_s); ca && !ca->isEmpty()) {
        const QFileInfo caInfo(*ca);
        if (!caInfo.isFile() || !caInfo.isReadable())
            in.fail(u"ca_file"_s, u"il file \"%1\" non esiste o non si può leggere"_s.arg(*ca));
        else
            config.ftp.caFile = caInfo.absoluteFilePath().toStdString();
    }
    in.string(u"remote_folder"_s, config.remoteFolder, false);
    in.flag(u"use_epsv"_s, config.ftp.useEpsv);
    in.number(u"connect_timeout_s"_s, config.ftp.connectTimeoutS, 1, 3600);
    in.number(u"stall_timeout_s"_s, config.ftp.stallTimeoutS, 1, 3600);

    if (in.failed())
        return {std::nullopt, in.error(), {}};

    // A password is as good as the file's permissions.
    constexpr auto kOthersRead = QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (!config.password.empty() && (info.permissions() & kOthersRead))
        result.warning = u"%1: attenzione: il file contiene una password ed è leggibile da altri "
                         u"utenti (chmod 600)"_s.arg(file);

    result.config = std::move(config);
    return result;
}

}  // namespace adv
