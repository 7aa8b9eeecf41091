// The server as a child process: posix_spawn, with pipes for stdin and stdout.
#include "tests/support/FtpServer.h"

#include "tests/support/FileSetup.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace adv::test {
namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr std::chrono::seconds kStopTimeout{10};

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

struct FtpServer::Process::Os {
    pid_t pid = -1;
    int stdinFd = -1;   // closing it tells the server to stop
    int stdoutFd = -1;  // where it announces its port
};

FtpServer::Process::Process(const std::vector<std::string>& arguments, const std::string& password,
                            const QString& errorFile)
    : os_(std::make_unique<Os>())
{
    std::vector<std::string> args = arguments;
    args.insert(args.begin(), {kPython, ADV_FTP_SERVER_SCRIPT});
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The password travels in the environment, never on the command line.
    const std::string passwordVar = "ADV_FTP_PASSWORD=" + password;
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
    const std::string errors = linuxPath(errorFile);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toServer[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromServer[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int spawned = ::posix_spawn(&os_->pid, kPython, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(toServer[0]);
    ::close(fromServer[1]);
    os_->stdinFd = toServer[1];
    os_->stdoutFd = fromServer[0];
    if (spawned != 0) {
        os_->pid = -1;
        closeFd(os_->stdinFd);
        closeFd(os_->stdoutFd);
        throw std::runtime_error(std::string("cannot start ") + kPython + ": " + std::strerror(spawned));
    }
}

FtpServer::Process::~Process()
{
    // Its stdin closed, a server ends by itself, and stops what it started
    // (a real server's processes). The scripts' servers end only that way:
    // one that does not is killed, and fails the test rather than slow it.
    closeFd(os_->stdinFd);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (os_->pid > 0 && ::waitpid(os_->pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(os_->pid, SIGKILL);
            ::waitpid(os_->pid, nullptr, 0);
            std::fputs("the FTP server did not end when its stdin closed\n", stderr);
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    closeFd(os_->stdoutFd);
}

std::string FtpServer::Process::firstLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd pfd{os_->stdoutFd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready <= 0)
            continue;  // EINTR, or the time is up (checked above)
        char buffer[64];
        const ssize_t got = ::read(os_->stdoutFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return {};  // the server ended before saying anything useful
        line.append(buffer, static_cast<size_t>(got));
        if (const auto newline = line.find('\n'); newline != std::string::npos)
            return line.substr(0, newline);
    }
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
