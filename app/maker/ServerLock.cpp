#include "app/maker/ServerLock.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/channel/Minisign.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"

namespace adv {

namespace {

constexpr std::int64_t kLockTakenOverAfter = 60 * 60;

bool ours(const LockOwner& owner, std::string_view line, std::int64_t now)
{
    return owner.line && lockHolder(*owner.line, line, now) == LockHolder::Ours;
}

// The lock's folder and its owner, each removed if there.
platform::FtpResult removeLock(ServerFiles& server)
{
    if (server.enter(kLockFolderName))
        (void)server.ftp().Delete(std::string(kLockOwner));
    server.enter();
    return server.ftp().RemoveFolder(kLockFolderName);
}

}  // namespace

std::optional<std::int64_t> lockTakenAt(std::string_view owner)
{
    const auto space = owner.rfind(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    const std::string field(owner.substr(space + 1));
    char* end = nullptr;
    // The server's text: a number out of range saturates.
    const std::int64_t since = std::strtoll(field.c_str(), &end, 10);
    return end != field.c_str() ? std::optional(since) : std::nullopt;
}

LockHolder lockHolder(std::string_view owner, std::string_view ours, std::int64_t now)
{
    if (owner == ours)
        return LockHolder::Ours;
    if (owner.empty())
        return LockHolder::Stale;
    // Compared without arithmetic on the server's number.
    const std::int64_t since = lockTakenAt(owner).value_or(0);
    // A clock ahead of ours or behind it: an hour either way.
    return since > now - kLockTakenOverAfter && since < now + kLockTakenOverAfter ? LockHolder::Another
                                                                                  : LockHolder::Stale;
}

bool LockOwner::unreadable() const
{
    return present && !line && read.failure != platform::FtpFailure::RemoteFile;
}

LockOwner readLockOwner(ServerFiles& server)
{
    LockOwner owner;
    if (server.enter(kLockFolderName)) {
        owner.present = true;
        platform::MemorySink sink(1024);
        owner.read = server.ftp().FetchFile(std::string(kLockOwner), sink);
        if (owner.read)
            owner.line = sink.contents();
    }
    server.enter();
    return owner;
}

ServerLock::ServerLock(ServerFiles& server, UpdateUi& ui, std::int64_t now)
    : server_(server),
      ui_(ui),
      now_(now),
      // Two makers in containers of the same host name and pid, started in
      // the same second, still write different lines.
      ours_(QSysInfo::machineHostName().toStdString() + " pid " + std::to_string(QCoreApplication::applicationPid()) +
            " " + minisign::randomHex(8) + " " + std::to_string(now) + "\n")
{
}

PublishFailure ServerLock::take()
{
    platform::FtpPublishSession& ftp = server_.ftp();
    platform::FtpResult made = ftp.MakeFolder(kLockFolderName);
    LockOwner held;
    // Refused for a lock given back before it could be read: made again, once.
    if (!made && made.failure == platform::FtpFailure::Refused && !(held = ownerOnceWritten()).present)
        made = ftp.MakeFolder(kLockFolderName);
    made_ = bool(made);
    if (!made_) {
        // Refused, and not for a lock already there: the server's reason is the cause.
        if (!held.present)
            return PublishReport{PublishOutcome::ServerFailed,
                                 makertext::serverCause(makertext::kLockNotWritten, made, server_.config())};
        // An owner the server would not give is no sign that the lock is free.
        if (held.unreadable())
            return PublishReport{PublishOutcome::ServerFailed,
                                 makertext::serverCause(makertext::kLockNotRead, held.read, server_.config())};
        const std::string line = held.line.value_or(std::string());
        if (lockHolder(line, ours_, now_) != LockHolder::Stale)
            return PublishReport{PublishOutcome::Locked, makertext::lockHeld(line)};
        ui_.AppendStatus(makertext::kLockTakenOver);
    }
    if (!server_.enter(kLockFolderName))
        return undone({PublishOutcome::ServerFailed, makertext::kLockNotWritten});
    wrote_ = true;
    if (const platform::FtpResult put = ftp.PutFile(std::string(kLockOwner), ours_); !put)
        return undone(
            {PublishOutcome::ServerFailed, makertext::serverCause(makertext::kLockNotWritten, put, server_.config())});
    platform::FtpPublishSession::Facts owner;
    (void)ftp.AskAbout(std::string(kLockOwner), owner);
    serverTime_ = owner.modified;
    server_.enter();
    // Two that took over a stale lock together: the last to write holds it.
    const LockOwner back = readLockOwner(server_);
    if (!back.line)
        return undone({PublishOutcome::ServerFailed,
                       makertext::serverCause(makertext::kLockNotRead, back.read, server_.config())});
    if (!ours(back, ours_, now_))
        return PublishReport{PublishOutcome::Locked, makertext::kLockTaken};
    held_ = true;
    return std::nullopt;
}

// What this run made of the lock goes, so that no later publish finds it
// locked for an hour by a run that has ended.
PublishReport ServerLock::undone(PublishReport report)
{
    if (wrote_ && server_.enter(kLockFolderName))
        (void)server_.ftp().Delete(std::string(kLockOwner));
    server_.enter();
    if (made_)
        (void)server_.ftp().RemoveFolder(kLockFolderName);
    return report;
}

PublishFailure ServerLock::stillHeld()
{
    const LockOwner now = readLockOwner(server_);
    if (ours(now, ours_, now_))
        return std::nullopt;
    if (now.unreadable())
        return PublishReport{PublishOutcome::ServerFailed,
                             makertext::serverCause(makertext::kLockNotRead, now.read, server_.config())};
    held_ = false;
    return PublishReport{PublishOutcome::Locked, makertext::kLockLost};
}

void ServerLock::release()
{
    // One the server will not show is still ours as far as anyone knows.
    const LockOwner now = held_ ? readLockOwner(server_) : LockOwner{};
    if (ours(now, ours_, now_) || now.unreadable())
        (void)removeLock(server_);
}

// A publisher that has just made the folder writes its owner at once: an
// owner that stays missing is one cut before it wrote it.
LockOwner ServerLock::ownerOnceWritten()
{
    LockOwner held = readLockOwner(server_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (held.present && held.line.value_or(std::string()).empty() && !held.unreadable() &&
           std::chrono::steady_clock::now() < deadline && !ui_.stopRequested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        held = readLockOwner(server_);
    }
    return held;
}

PublishReport UnlockCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config, std::int64_t now)
{
    ftp.setHostname(config.host);
    ftp.setUsername(config.user);
    ftp.setPassword(config.password);
    ftp.setInterruptCheck([&ui] { return ui.stopRequested(); });
    ui.AppendStatus(makertext::connecting(config.host));
    platform::FtpResult failed = ftp.OpenSession();
    if (failed)
        failed = ftp.EnterRemoteFolder(config.remoteFolder);
    if (!failed)
        return {PublishOutcome::ConnectFailed, text::ftpCause(failed, config)};
    ServerFiles server(ftp, config);
    const LockOwner found = readLockOwner(server);
    PublishReport report{PublishOutcome::Published, {}};
    if (!found.present) {
        ui.AppendStatus(makertext::kNoLockToRemove);
    } else {
        ui.AppendStatus(makertext::lockToRemove(found.line, now));
        if (const platform::FtpResult removed = removeLock(server); !removed)
            report = {PublishOutcome::ServerFailed,
                      makertext::serverCause(makertext::kLockNotRemoved, removed, config)};
        else
            ui.AppendStatus(makertext::kLockRemoved);
    }
    ftp.CloseSession();
    return report;
}

}  // namespace adv
