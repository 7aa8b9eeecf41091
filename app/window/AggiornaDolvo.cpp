#include "app/window/AggiornaDolvo.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QWindow>

#include <string_view>

#include "app/core/StatusLog.h"
#include "app/site/UpdateTexts.h"
#include "app/window/BlockedPointer.h"
#include "app/window/YesNoQuestion.h"
#include "app/window/FlatColourButton.h"
#include "resources/Resources.h"

using namespace Qt::StringLiterals;

namespace adv {

const QString AggiornaDolvo::kSansSerifFace = u"MS Sans Serif"_s;
const QString AggiornaDolvo::kRoundedFace = u"Arial Rounded MT Bold"_s;
const QString AggiornaDolvo::kRoundedStandIn = u"Comfortaa"_s;

namespace {

// How often, at most, the window handles paints and input while a command
// holds its thread: often enough that a click on USCITA acts at once.
constexpr qint64 kPendingIntervalMs = 20;

}  // namespace

AggiornaDolvo::AggiornaDolvo(const Config& config, platform::FtpClient& ftp, Terminator& terminator, QWidget* parent)
    : QWidget(parent, Qt::Window), config_(config), ftp_(ftp), terminator_(terminator)
{
    std::future<resources::Pictures> pictures = resources::decodePictures();
    setObjectName(u"AggiornaDolvo"_s);
    setWindowTitle(text::kWindowTitle);
    resize(designedSize());
    centreOnScreen();

    createLabels();
    createStatusBox();
    createButtons();
    createDriveList();
    createProductBoxes();
    setTabOrder();

    // Pixmaps and the icon belong to this thread.
    const resources::Pictures decoded = pictures.get();
    background_ = QPixmap::fromImage(decoded.background);
    setWindowIcon(QIcon(QPixmap::fromImage(decoded.icon)));
}

AggiornaDolvo::~AggiornaDolvo() = default;

void AggiornaDolvo::centreOnScreen()
{
    const QScreen* screen = windowHandle() != nullptr ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    // Before a window manager has framed the window, its frame is its client
    // area; move() places the frame's corner.
    const QRect frame = frameGeometry();
    const QRect centred =
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frame.size(), screen->availableGeometry());
    move(centred.topLeft());
}

void AggiornaDolvo::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    centreWithFrame();
}

void AggiornaDolvo::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    centreWithFrame();
}

void AggiornaDolvo::centreWithFrame()
{
    // Placed before it had a frame, the window would stand half a title bar
    // low once a window manager framed it: placed again, once, as soon as
    // the frame is known (at once on some platforms, after mapping on X11).
    if (!centredWithFrame_ && isVisible() && frameGeometry().size() != size()) {
        centredWithFrame_ = true;
        centreOnScreen();
    }
}

void AggiornaDolvo::load()
{
    // The operator is here to say whether a program that may be asking its
    // user to save is to lose its work; each No gives it one more grace.
    terminator_.askBeforeForcing([this](std::string_view name, long) {
        const QString program = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        return askYesNoQuestion(this,
                                u"Il programma %1 è ancora aperto e potrebbe chiedere di salvare il lavoro. "
                                u"Chiuderlo senza salvare?"_s.arg(program),
                                text::kQuestionTitle);
    });
    TerminateReport swept = StartupSweep(config_.root, productCheckBoxes(), terminator_);
    terminator_.askBeforeForcing({});
    // The log's first lines: the operator sees at once which programs are
    // still open, and why an update would stop, and which lost their work.
    for (const QString& line : sweepLines(swept))
        AppendStatus(line);
    leftRunning_ = std::move(swept.left);
}

ProductCheckBoxes AggiornaDolvo::productCheckBoxes()
{
    return {productBoxes_[0].get(), productBoxes_[1].get(), productBoxes_[2].get(), productBoxes_[3].get()};
}

QString AggiornaDolvo::statusText() const
{
    // The document keeps a paragraph separator between lines; the log's
    // lines are joined by CR LF.
    QString log = statusBox_->document()->toRawText();
    log.replace(QChar(QChar::ParagraphSeparator), QString(kStatusLineBreak));
    return log;
}

void AggiornaDolvo::setPointer(Pointer pointer)
{
    if (pointer == pointer_)
        return;
    // The window's pointer, over the window and every control on it; the
    // question the command asks is a window of its own, with its own arrow.
    // The log's text area shows its text cursor otherwise, so it is set too.
    QWidget* logArea = statusBox_->viewport();
    if (pointer == Pointer::Hourglass) {
        logAreaCursor_ = logArea->cursor();
        setCursor(Qt::WaitCursor);
        logArea->setCursor(Qt::WaitCursor);
    } else {
        setCursor(Qt::ArrowCursor);
        logArea->setCursor(logAreaCursor_);
        hourglassEnded();
    }
    pointer_ = pointer;
}

bool AggiornaDolvo::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    // The hourglass stays over the window while its question blocks it.
    if (pointer_ == Pointer::Hourglass && answerWithHourglass(message, result))
        return true;
    return QWidget::nativeEvent(eventType, message, result);
}

bool AggiornaDolvo::askYesNo(const QString& prompt, const QString& title)
{
    return askYesNoQuestion(this, prompt, title);
}

QString AggiornaDolvo::driveText() const
{
    return driveList_->currentText();
}

void AggiornaDolvo::showBusyLabel()
{
    busyLabel_->show();
    busyLabel_->repaint();
    handlePending(false);
}

void AggiornaDolvo::AppendStatus(const QString& message)
{
    QTextDocument* document = statusBox_->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(statusLine(message));

    // The caret after the last character, the view down at the newest line,
    // and that line shown from its first character: its end alone would hide
    // what failed ("Impossibile ...") or which program.
    statusBox_->setTextCursor(cursor);
    statusBox_->ensureCursorVisible();
    statusBox_->horizontalScrollBar()->setValue(statusBox_->horizontalScrollBar()->minimum());
    statusBox_->repaint();
    handlePending(false);
}

void AggiornaDolvo::downloadProgress(std::int64_t received, std::int64_t total)
{
    if (total > 0) {
        progressBar_->setRange(0, 1000);
        const std::int64_t permille = std::min<std::int64_t>(received, total) * 1000 / total;
        progressBar_->setValue(static_cast<int>(permille));
    } else {
        progressBar_->setRange(0, 0);  // size unknown: a busy bar
    }
    const bool appearing = progressBar_->isHidden();
    progressBar_->show();
    handlePending(!appearing);
}

void AggiornaDolvo::downloadEnded()
{
    progressBar_->hide();
    handlePending(false);
}

bool AggiornaDolvo::stopRequested()
{
    handlePending(true);
    return stopRequested_;
}

void AggiornaDolvo::runUpdateCommand()
{
    if (busy_)
        return;
    busy_ = true;
    stopRequested_ = false;
    const UpdateReport report = adv::UpdateCommand(
        *this, ftp_, config_, {.mode = UpdateMode::Operator, .leftRunning = leftRunning_, .reportAs = "window"});
    // The log's lines stay as they always were; why the last command failed
    // is one rest of the pointer on them away.
    const bool failed = exitStatus(report.outcome) != ExitStatus::Success && report.outcome != UpdateOutcome::Cancelled;
    // Only the Italian: the system's words behind it are in the log file. A
    // tooltip that looks like markup is shown as markup, and the cause names
    // folders and files, so it is given as text made markup.
    statusBox_->setToolTip(failed && !report.cause.isEmpty()
                               ? Qt::convertFromPlainText(u"Causa: "_s + report.cause.text, Qt::WhiteSpaceNormal)
                               : QString());
    // Whatever the operator did in the command's last moments is handled
    // now, while DOWNLOAD still drops its clicks: nothing is left waiting
    // for the next event to come along.
    QCoreApplication::processEvents();
    busy_ = false;
    if (closeRequested_)
        close();
}

void AggiornaDolvo::ExitCommand()
{
    close();
}

void AggiornaDolvo::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, background_);
}

void AggiornaDolvo::closeEvent(QCloseEvent* event)
{
    if (busy_) {
        // The command holds the thread and the FTP session: it is told to
        // stop, which it does at its next look, and the window goes as soon
        // as it has returned.
        closeRequested_ = true;
        stopRequested_ = true;
        event->ignore();
        return;
    }
    closeRequested_ = false;
    event->accept();
}

bool AggiornaDolvo::eventFilter(QObject* watched, QEvent* event)
{
    // DOWNLOAD stays visible and enabled while its command runs, but a click
    // on it then is dropped, not kept for later.
    if (watched == downloadButton_ && busy_) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut: return true;
        default: break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AggiornaDolvo::handlePending(bool throttled)
{
    if (throttled && lastHandled_.isValid() && lastHandled_.elapsed() < kPendingIntervalMs)
        return;
    // Input too: held back, it would be replayed only when some later event
    // woke the event loop, long after the command.
    QCoreApplication::processEvents();
    lastHandled_.restart();
}

}  // namespace adv
