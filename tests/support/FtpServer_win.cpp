// The server under Wine: linux_side.py starts it, and the loopback
// connection that asked for it becomes the server's stdin and stdout.
#include "tests/support/FtpServer.h"

#include <QJsonArray>

#include <ws2tcpip.h>

#include <stdexcept>

#include "tests/support/FileSetup.h"
#include "tests/support/LinuxSide_win.h"

namespace adv::test {

struct FtpServer::Process::Os {
    SOCKET server = INVALID_SOCKET;
};

FtpServer::Process::Process(const std::vector<std::string>& arguments, const std::string& password,
                            const QString& errorFile)
    : os_(std::make_unique<Os>())
{
    using namespace Qt::StringLiterals;
    QJsonArray args;
    for (const std::string& argument : arguments)
        args.append(QString::fromStdString(argument));
    os_->server = sendToLinuxSide({{u"op"_s, u"ftp"_s},
                                   {u"args"_s, args},
                                   {u"password"_s, QString::fromStdString(password)},
                                   {u"stderr"_s, QString::fromStdString(linuxPath(errorFile))}});
}

FtpServer::Process::~Process()
{
    // The end of its stdin ends the server, and with it the connection.
    shutdown(os_->server, SD_SEND);
    const DWORD limit = 5000;
    setsockopt(os_->server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    char buffer[256];
    while (recv(os_->server, buffer, sizeof buffer, 0) > 0) {
    }
    closesocket(os_->server);
}

std::string FtpServer::Process::firstLine(std::chrono::milliseconds timeout)
{
    return lineFrom(os_->server, timeout);
}

quint16 unusedLoopbackPort()
{
    sockaddr_in address = loopbackAddress(0);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    int length = sizeof address;
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    closesocket(s);  // bound but never listening: connections to it are refused
    if (!ok)
        throw std::runtime_error("cannot find a free loopback port");
    return ntohs(address.sin_port);
}

}  // namespace adv::test
