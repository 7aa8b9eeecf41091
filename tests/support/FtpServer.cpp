#include "tests/support/FtpServer.h"

#include "tests/support/FileSetup.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <stdexcept>

namespace adv::test {
namespace {

using namespace Qt::StringLiterals;

const char* tlsArgument(platform::FtpTls tls)
{
    switch (tls) {
    case platform::FtpTls::Off: return "off";
    case platform::FtpTls::Explicit: return "explicit";
    case platform::FtpTls::Implicit: return "implicit";
    }
    return "off";
}

const char* faultArgument(FtpFault fault)
{
    switch (fault) {
    case FtpFault::None: return "none";
    case FtpFault::StallData: return "stall";
    case FtpFault::CutData: return "cut";
    case FtpFault::NoGreeting: return "nogreeting";
    case FtpFault::SizeHalf: return "size-half";
    case FtpFault::SizeNegative: return "size-negative";
    case FtpFault::NoSize: return "no-size";
    case FtpFault::Lie150: return "lie-150";
    case FtpFault::ExtraData: return "extra";
    case FtpFault::Endless: return "endless";
    case FtpFault::NoSizeEndless: return "no-size-endless";
    case FtpFault::Drip: return "drip";
    case FtpFault::Grow: return "grow";
    case FtpFault::UploadPauses: return "upload-pauses";
    case FtpFault::Reply421: return "reply-421";
    case FtpFault::CutWrites: return "cut-writes";
    case FtpFault::Throttle: return "throttle";
    case FtpFault::Login421: return "login-421";
    case FtpFault::Auth530: return "auth-530";
    case FtpFault::DataTls522: return "data-tls-522";
    case FtpFault::DataTls425: return "data-tls-425";
    case FtpFault::NoRest: return "no-rest";
    case FtpFault::NoMlsd: return "no-mlsd";
    case FtpFault::NoRenameOver: return "no-rename-over";
    }
    return "none";
}

constexpr std::chrono::seconds kStartTimeout{20};

}  // namespace

FtpServer::FtpServer(FtpServerOptions options)
    : options_(std::move(options)), work_(QDir::tempPath() + u"/adv-ftpd-XXXXXX"_s)
{
    if (!work_.isValid())
        throw std::runtime_error("cannot create the FTP server's temporary folder");
    process_ = std::make_unique<Process>(serverArguments(), options_.password, work_.filePath(u"stderr.txt"_s));
    const std::string line = process_->firstLine(kStartTimeout);
    char* rest = nullptr;
    const unsigned long port = line.empty() ? 0 : std::strtoul(line.c_str(), &rest, 10);
    if (port == 0 || port > 65535) {
        process_.reset();  // the destructor does not run for a constructor that throws
        throw std::runtime_error("the FTP server did not start: " + readFile(u"stderr.txt"_s).toStdString());
    }
    port_ = static_cast<quint16>(port);
    socksPort_ = static_cast<quint16>(std::strtoul(rest, nullptr, 10));
}

FtpServer::~FtpServer() = default;

std::vector<std::string> FtpServer::serverArguments() const
{
    std::vector<std::string> arguments{
        "--root",        linuxPath(options_.root),
        "--user",        options_.user,
        "--tls",         tlsArgument(options_.tls),
        "--certdir",     linuxPath(work_.filePath(u"certs"_s)),
        "--fault",       faultArgument(options_.fault),
        "--fault-after", std::to_string(options_.faultAfterBytes),
        "--command-log", linuxPath(work_.filePath(u"commands.log"_s)),
        "--server-log",  linuxPath(work_.filePath(u"server.log"_s)),
    };
    if (options_.writable)
        arguments.emplace_back("--writable");
    if (options_.socks5)
        arguments.emplace_back("--socks5");
    if (!options_.certifiedName.empty())
        arguments.insert(arguments.end(), {"--cert-name", options_.certifiedName});
    if (!options_.writeOnly.empty())
        arguments.insert(arguments.end(), {"--write-only", options_.writeOnly});
    if (!options_.realServer.empty())
        arguments.insert(arguments.end(), {"--" + options_.realServer, options_.realPrefix});
    return arguments;
}

QString FtpServer::readFile(const QString& name) const
{
    QFile file(work_.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

QString FtpServer::caFile() const
{
    if (options_.tls == platform::FtpTls::Off)
        return {};
    return work_.filePath(u"certs/cert.pem"_s);
}

QString FtpServer::commandLog() const
{
    return readFile(u"commands.log"_s);
}

QString FtpServer::serverLog() const
{
    return readFile(u"server.log"_s) + readFile(u"stderr.txt"_s);
}

}  // namespace adv::test
