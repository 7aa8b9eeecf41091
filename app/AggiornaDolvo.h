// The updater's only window.
#pragma once

#include <QElapsedTimer>
#include <QPixmap>
#include <QWidget>

#include <array>
#include <memory>

#include "app/Config.h"
#include "app/StartupSweep.h"
#include "app/UpdateCommand.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;

namespace adv {

class DvButton;

// Loads Qt's own Italian texts (qtbase_it) whatever the environment's
// language is, since every text of the window is Italian. The translator
// stays installed for the life of the application. False when the file is
// missing.
bool installItalianQtTranslations();

// Maps the faces the window asks for to installed look-alikes, for systems
// that lack them. Safe to call more than once.
void installFontSubstitutes();

// The window lays its controls out by hand at fixed places; resizing it
// moves nothing. Its start-up sweep runs in load(), before it is shown.
class AggiornaDolvo final : public QWidget, public UpdateUi {
    Q_OBJECT

public:
    AggiornaDolvo(const Config& config, platform::FtpClient& ftp, Terminator& terminator,
                  QWidget* parent = nullptr);
    ~AggiornaDolvo() override;

    // Ticks the installed products and closes their programs. Call once,
    // before show().
    void load();

    // The log as the operator sees it, lines joined by CR LF.
    QString statusText() const;
    Pointer pointer() const { return pointer_; }
    // True while the update command runs.
    bool busy() const { return busy_; }
    // The four product boxes in product table order, for the sweep.
    ProductCheckBoxes productCheckBoxes();

    // UpdateUi
    void setPointer(Pointer pointer) override;
    bool askYesNo(const QString& prompt, const QString& title) override;
    QString driveText() const override;
    void showBusyLabel() override;
    void AppendStatus(const QString& message) override;
    void downloadProgress(std::int64_t received, std::int64_t total) override;
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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class BoxAdapter;

    void createControls();
    // Lets the window paint and take the operator's input while a command
    // holds the thread.
    void handlePending(bool throttled);

    Config config_;
    platform::FtpClient& ftp_;
    Terminator& terminator_;
    QPixmap background_;

    QLabel* label3_ = nullptr;
    QLabel* label4_ = nullptr;
    QPlainTextEdit* txtStatus_ = nullptr;
    DvButton* command1_ = nullptr;
    QComboBox* drive1_ = nullptr;
    DvButton* command2_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    QProgressBar* progress_ = nullptr;
    std::array<std::unique_ptr<BoxAdapter>, 4> productBoxes_;

    Pointer pointer_ = Pointer::Arrow;
    bool busy_ = false;
    bool closeRequested_ = false;
    bool stopRequested_ = false;
    QElapsedTimer lastPaint_;
};

}  // namespace adv
