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
#include "app/site/StartupSweep.h"
#include "tests/support/ScriptedFtp.h"

namespace adv::test {

// Remembers every program the sweep asked to close; closes nothing.
class RecordingTerminator final : public Terminator {
public:
    TerminateReport terminate(std::span<const std::string_view> asked) override
    {
        names.insert(names.end(), asked.begin(), asked.end());
        if (!stillOpen.empty() && mayForce())
            mayForceAnswers.push_back(mayForce()(stillOpen, 4242));
        return report;
    }
    std::vector<std::string> names;
    std::string stillOpen;  // asked about as still running after the grace
    std::vector<bool> mayForceAnswers;
    TerminateReport report;  // what the sweep is told
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
        // The site's id and report state are kept beside the log: here, not in the system's place.
        config.logFile = dir.filePath(QStringLiteral("AggiornaDV.log"));
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
