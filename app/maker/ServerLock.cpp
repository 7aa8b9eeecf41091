#include "app/maker/ServerLock.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"

namespace adv {

namespace {

constexpr std::int64_t kLockTakenOverAfter = 60 * 60;

}  // namespace

LockHolder lockHolder(std::string_view owner, std::string_view ours, std::int64_t now)
{
    if (owner == ours)
        return LockHolder::Ours;
    if (owner.empty())
        return LockHolder::Stale;
    const auto space = owner.rfind(' ');
    // The server's text: a number out of range saturates, and is compared
    // without arithmetic on it.
    const std::int64_t since =
        space != std::string_view::npos ? std::strtoll(std::string(owner.substr(space + 1)).c_str(), nullptr, 10) : 0;
    // A clock ahead of ours or behind it: an hour either way.
    return since > now - kLockTakenOverAfter && since < now + kLockTakenOverAfter ? LockHolder::Another
                                                                                  : LockHolder::Stale;
}

ServerLock::ServerLock(ServerFiles& server, UpdateUi& ui, std::int64_t now)
    : server_(server),
      ui_(ui),
      now_(now),
      ours_(QSysInfo::machineHostName().toStdString() + " pid " + std::to_string(QCoreApplication::applicationPid()) +
            " " + std::to_string(now) + "\n")
{
}

PublishFailure ServerLock::take()
{
    platform::FtpPublishSession& ftp = server_.ftp();
    if (!ftp.MakeFolder(kLockFolderName)) {
        const std::string held = ownerOnceWritten();
        if (lockHolder(held, ours_, now_) != LockHolder::Stale)
            return PublishReport{PublishOutcome::Locked, makertext::lockHeld(held)};
        ui_.AppendStatus(makertext::kLockTakenOver);
    }
    if (!server_.enter(kLockFolderName) || !ftp.PutFile(std::string(kLockOwner), ours_) || !server_.enter())
        return PublishReport{PublishOutcome::ServerFailed, makertext::kLockNotWritten};
    // Two that took over a stale lock together: the last to write holds it.
    if (lockHolder(owner(), ours_, now_) != LockHolder::Ours)
        return PublishReport{PublishOutcome::Locked, makertext::kLockTaken};
    held_ = true;
    return std::nullopt;
}

PublishFailure ServerLock::stillHeld()
{
    if (lockHolder(owner(), ours_, now_) == LockHolder::Ours)
        return std::nullopt;
    held_ = false;
    return PublishReport{PublishOutcome::Locked, makertext::kLockLost};
}

void ServerLock::release()
{
    if (!held_ || lockHolder(owner(), ours_, now_) != LockHolder::Ours || !server_.enter(kLockFolderName))
        return;
    (void)server_.ftp().Delete(std::string(kLockOwner));
    if (server_.enter())
        (void)server_.ftp().RemoveFolder(kLockFolderName);
}

std::string ServerLock::owner()
{
    std::optional<std::string> read;
    if (server_.enter(kLockFolderName))
        read = server_.fetch(std::string(kLockOwner), 1024);
    server_.enter();
    return read.value_or(std::string());
}

// A publisher that has just made the folder writes its owner at once: an
// owner that stays missing is one cut before it wrote it.
std::string ServerLock::ownerOnceWritten()
{
    std::string held = owner();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (held.empty() && std::chrono::steady_clock::now() < deadline && !ui_.stopRequested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        held = owner();
    }
    return held;
}

}  // namespace adv
