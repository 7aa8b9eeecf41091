#include "tests/support/LinuxSide_win.h"

#include <QDir>
#include <QJsonDocument>

#include <ws2tcpip.h>
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/FileSetup.h"

namespace adv::test {
namespace {

void startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}

}  // namespace

sockaddr_in loopbackAddress(quint16 port)
{
    startWinsock();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

SOCKET sendToLinuxSide(const QJsonObject& request)
{
    const char* port = std::getenv("ADV_LINUX_SIDE");
    const int number = port == nullptr ? 0 : std::atoi(port);
    if (number <= 0 || number > 65535)
        throw std::runtime_error("no ADV_LINUX_SIDE: run the test through tests/support/linux_side.py");
    const sockaddr_in address = loopbackAddress(static_cast<quint16>(number));
    const SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connection == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    if (connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(connection);
        throw std::runtime_error(std::string("cannot reach linux_side.py on port ") + port);
    }
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n';
    for (qsizetype sent = 0; sent < line.size();) {
        const int now = send(connection, line.constData() + sent, static_cast<int>(line.size() - sent), 0);
        if (now <= 0) {
            closesocket(connection);
            throw std::runtime_error("cannot send a request to linux_side.py");
        }
        sent += now;
    }
    return connection;
}

std::string lineFrom(SOCKET connection, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        timeval wait{static_cast<long>(left.count() / 1000), static_cast<long>(left.count() % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        // One byte at a time: what follows the line is not ours to take.
        char byte = 0;
        if (recv(connection, &byte, 1, 0) != 1)
            return {};
        if (byte == '\n')
            return line;
        line += byte;
    }
}

std::string linuxPath(const QString& path)
{
    // Wine's own kernel32 says where a Windows name lives on the Linux side.
    using Convert = char*(CDECL*)(const wchar_t*);
    static const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr)
        throw std::runtime_error("this test needs Wine: its Linux side is a Linux program");
    const std::wstring native = QDir::toNativeSeparators(QDir::cleanPath(QDir(path).absolutePath())).toStdWString();
    char* unix = convert(native.c_str());
    if (unix == nullptr)
        throw std::runtime_error("no Linux name for " + path.toStdString());
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

}  // namespace adv::test
