#include "tests/support/FtpServer.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace adv::test {
namespace {

using namespace Qt::StringLiterals;

constexpr const char* kPython = "/usr/bin/python3";
constexpr std::chrono::seconds kStartTimeout{20};

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
    case FtpFault::Reply421: return "reply-421";
    }
    return "none";
}

std::string local8(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Reads the port line the server prints once it listens.
std::string readFirstLine(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw std::runtime_error("the FTP server did not report its port in time");
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buffer[64];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return line;  // the server ended before saying anything useful
        line.append(buffer, static_cast<size_t>(got));
        if (const auto newline = line.find('\n'); newline != std::string::npos)
            return line.substr(0, newline);
    }
}

}  // namespace

FtpServer::FtpServer(FtpServerOptions options)
    : options_(std::move(options)), work_(QDir::tempPath() + u"/adv-ftpd-XXXXXX"_s)
{
    if (!work_.isValid())
        throw std::runtime_error("cannot create the FTP server's temporary folder");

    std::vector<std::string> args = {
        kPython,
        ADV_FTP_SERVER_SCRIPT,
        "--root",
        local8(options_.root),
        "--user",
        options_.user,
        "--tls",
        tlsArgument(options_.tls),
        "--certdir",
        local8(work_.filePath(u"certs"_s)),
        "--fault",
        faultArgument(options_.fault),
        "--fault-after",
        std::to_string(options_.faultAfterBytes),
        "--command-log",
        local8(work_.filePath(u"commands.log"_s)),
        "--server-log",
        local8(work_.filePath(u"server.log"_s)),
        "--exit-on-stdin-eof",
    };
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The password travels in the environment, never on the command line.
    const std::string passwordVar = "ADV_FTP_PASSWORD=" + options_.password;
    std::vector<char*> envp;
    for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
        if (std::string_view(*env).rfind("ADV_FTP_PASSWORD=", 0) != 0)
            envp.push_back(*env);
    }
    envp.push_back(const_cast<char*>(passwordVar.c_str()));
    envp.push_back(nullptr);

    int toServer[2];
    int fromServer[2];
    if (::pipe2(toServer, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    if (::pipe2(fromServer, O_CLOEXEC) != 0) {
        ::close(toServer[0]);
        ::close(toServer[1]);
        throw std::runtime_error("pipe2 failed");
    }
    const std::string errorFile = local8(work_.filePath(u"stderr.txt"_s));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toServer[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromServer[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int spawned = ::posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(toServer[0]);
    ::close(fromServer[1]);
    stdinFd_ = toServer[1];
    stdoutFd_ = fromServer[0];
    if (spawned != 0) {
        pid_ = -1;
        closeFd(stdinFd_);
        closeFd(stdoutFd_);
        throw std::runtime_error(std::string("cannot start ") + kPython + ": " + std::strerror(spawned));
    }

    std::string line;
    try {
        line = readFirstLine(stdoutFd_, std::chrono::steady_clock::now() + kStartTimeout);
    } catch (...) {
        line.clear();
    }
    const unsigned long port = line.empty() ? 0 : std::strtoul(line.c_str(), nullptr, 10);
    if (port == 0 || port > 65535) {
        const QString errors = readFile(u"stderr.txt"_s);
        stop();  // the destructor will not run for a constructor that throws
        throw std::runtime_error("the FTP server did not start: " + errors.toStdString());
    }
    port_ = static_cast<quint16>(port);
}

FtpServer::~FtpServer()
{
    stop();
}

void FtpServer::stop()
{
    closeFd(stdinFd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    closeFd(stdoutFd_);
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

quint16 unusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);  // bound but never listening: connections to it are refused
    if (!ok)
        throw std::runtime_error("cannot find a free loopback port");
    return ntohs(address.sin_port);
}

}  // namespace adv::test
