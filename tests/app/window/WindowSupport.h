// Doubles and helpers the window's tests share.
#pragma once

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/core/StartupSweep.h"
#include "platform/FtpClient.h"

namespace adv::test {

// Remembers every program the sweep asked to close; closes nothing.
class RecordingTerminator final : public Terminator {
public:
    TerminateReport terminate(std::span<const std::string_view> asked) override
    {
        names.insert(names.end(), asked.begin(), asked.end());
        return report;
    }
    std::vector<std::string> names;
    TerminateReport report;  // what the sweep is told
};

// An FTP session that only records, with hooks that run inside the calls,
// while the window is busy with the command.
class ScriptedFtp final : public platform::FtpClient {
public:
    void setHostname(const std::string& host) override { calls.push_back("host:" + host); }
    void setUsername(const std::string&) override { calls.emplace_back("user"); }
    void setPassword(const std::string&) override { calls.emplace_back("password"); }
    void setPassive(bool) override { calls.emplace_back("passive"); }
    void setInterruptCheck(std::function<bool()> check) override { interrupted = std::move(check); }
    platform::FtpResult OpenSession() override
    {
        calls.emplace_back("open");
        if (onOpen)
            onOpen();
        return result(openResult, platform::FtpFailure::Connection);
    }
    platform::FtpResult EnterRemoteFolder(const std::string& folder) override
    {
        calls.push_back("folder:" + folder);
        return result(folderResult, platform::FtpFailure::Folder);
    }
    platform::FtpResult FetchFile(const std::string& remote, platform::FtpSink&,
                                  const platform::FtpProgress& progress) override
    {
        calls.push_back("fetch:" + remote);
        if (onFetch)
            onFetch(progress);
        // A download that the window's check stopped says so, as the real one does.
        if (interrupted && interrupted())
            return {platform::FtpFailure::Interrupted, 0, "interrupted", {}};
        return result(fetchResult, fetchFailure);
    }
    void CloseSession() override { calls.emplace_back("close"); }

    static platform::FtpResult result(bool ok, platform::FtpFailure failure)
    {
        if (ok)
            return {};
        // A refused login, as a server says it.
        if (failure == platform::FtpFailure::Connection)
            return {failure, 530, "Login denied", "530 Login incorrect."};
        return {failure, 0, "scripted <b><font color=green size=6>failure", {}};
    }

    std::vector<std::string> calls;
    bool openResult = true;
    bool folderResult = true;
    bool fetchResult = true;
    platform::FtpFailure fetchFailure = platform::FtpFailure::Transfer;
    std::function<void()> onOpen;
    std::function<void(const platform::FtpProgress&)> onFetch;
    std::function<bool()> interrupted;  // the update command's, while it runs
};

// A temporary folder standing for the drive, and the window built on it as
// the program builds it (but with doubles for FTP and process closing).
struct WindowStage {
    QTemporaryDir dir;
    Config config;
    ScriptedFtp ftp;
    RecordingTerminator terminator;

    explicit WindowStage(bool showDownload = false)
    {
        config.root = dir.path().toStdString();
        config.host = "ftp.example.test";
        config.showDownload = showDownload;
    }
    void installFile(const QString& relative) const
    {
        const QString path = dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write("MZ");
    }
    std::unique_ptr<AggiornaDolvo> window() { return std::make_unique<AggiornaDolvo>(config, ftp, terminator); }
};

// What a modal box looked like when it came up.
struct SeenBox {
    bool appeared = false;
    QString title;
    QString text;
    QStringList buttons;
    QString defaultButton;
    QMessageBox::Icon icon = QMessageBox::Information;
    bool pixmapEmpty = false;
};

// Waits, from the event loop, for a modal QMessageBox; records it and hands
// it to `act`. Gives up after `limitMs`, closing whatever modal is left so a
// failing test cannot hang.
inline void whenModalBoxAppears(SeenBox& seen, std::function<void(QMessageBox&)> act, int limitMs = 5000)
{
    auto* poll = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, clock, &seen, act = std::move(act), limitMs] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr && box->isVisible()) {
            poll->stop();
            poll->deleteLater();
            seen.appeared = true;
            seen.title = box->windowTitle();
            seen.text = box->text();
            for (QAbstractButton* b : box->buttons())
                seen.buttons << b->text();
            seen.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
            seen.icon = box->icon();
            seen.pixmapEmpty = box->iconPixmap().isNull();
            act(*box);
            return;
        }
        if (clock->elapsed() > limitMs) {
            poll->stop();
            poll->deleteLater();
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        }
    });
    poll->start(10);
}

}  // namespace adv::test
