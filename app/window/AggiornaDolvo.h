// The updater's only window.
#pragma once

#include <QCheckBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QPixmap>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

#include "app/core/Config.h"
#include "app/site/StartupSweep.h"
#include "app/site/UpdateCommand.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;

namespace adv {

class FlatColourButton;

// The window lays its controls out by hand at fixed places; resizing it
// moves nothing. Its start-up sweep runs in load(), before it is shown.
// Controls carry the names they were designed with as their objectName
// (Label4, Command1, txtStatus, dv...).
class AggiornaDolvo final : public QWidget, public UpdateUi {
    Q_OBJECT

public:
    // The faces the window was designed with, and the look-alike that stands
    // in for the rounded one where it is missing.
    static const QString kSansSerifFace;
    static const QString kRoundedFace;
    static const QString kRoundedStandIn;

    AggiornaDolvo(const Config& config, platform::FtpClient& ftp, Terminator& terminator, QWidget* parent = nullptr);
    ~AggiornaDolvo() override;

    // Ticks the installed products and closes their programs. Call once,
    // before show().
    void load();

    // The log as the operator sees it, lines joined by CR LF.
    QString statusText() const;
    Pointer pointer() const { return pointer_; }
    // True while the update command runs.
    bool busy() const { return busy_; }
    // The product boxes in product table order, for the sweep.
    ProductCheckBoxes productCheckBoxes();
    // The hidden drive list's current drive text: the drive ("c:") on
    // Windows, the configured root folder on Linux.
    QString driveText() const;

    // UpdateUi
    void setPointer(Pointer pointer) override;
    bool askYesNo(const QString& prompt, const QString& title) override;
    void showBusyLabel() override;
    void AppendStatus(const QString& message) override;
    void downloadProgress(std::int64_t received, std::int64_t total) override;
    void downloadEnded() override;
    bool stopRequested() override;

public slots:
    // DOWNLOAD: the update command, on the window's thread. The window keeps
    // answering while it runs: a close request (USCITA, the close box) stops
    // the command at once and then closes the window; a click on DOWNLOAD
    // is dropped.
    void runUpdateCommand();
    // USCITA: closes the window, which ends the program.
    void ExitCommand();

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    // A product check box as the start-up sweep sees it.
    class BoxAdapter final : public CheckBox {
    public:
        explicit BoxAdapter(QCheckBox* box) : box_(box) {}
        short value() const override { return box_->isChecked() ? short{1} : short{0}; }
        void setValue(short value) override { box_->setChecked(value != 0); }

    private:
        QCheckBox* box_;
    };
    // The client area as it was designed.
    static QSize designedSize();

    void createLabels();
    void createStatusBox();
    void createButtons();
    void createDriveList();
    void createProductBoxes();
    void setTabOrder();
    // The whole window, frame included, in the middle of the screen.
    void centreOnScreen();
    void centreWithFrame();
    // Lets the window paint and take the operator's input while a command
    // holds the thread.
    void handlePending(bool throttled);

    Config config_;
    platform::FtpClient& ftp_;
    Terminator& terminator_;
    std::vector<LeftRunning> leftRunning_;  // what the start-up sweep could not close
    QPixmap background_;

    QLabel* titleLabel_ = nullptr;  // Label3
    QLabel* busyLabel_ = nullptr;   // Label4
    QProgressBar* progressBar_ = nullptr;
    QPlainTextEdit* statusBox_ = nullptr;         // txtStatus
    FlatColourButton* downloadButton_ = nullptr;  // Command1
    QComboBox* driveList_ = nullptr;              // Drive1
    FlatColourButton* exitButton_ = nullptr;      // Command2
    QGroupBox* productFrame_ = nullptr;           // Frame1
    std::array<std::unique_ptr<BoxAdapter>, kProducts.size()> productBoxes_;

    Pointer pointer_ = Pointer::Arrow;
    QCursor logAreaCursor_;  // the log's own, while the hourglass stands in
    bool busy_ = false;
    bool closeRequested_ = false;
    bool stopRequested_ = false;
    bool centredWithFrame_ = false;
    QElapsedTimer lastHandled_;
};

}  // namespace adv
