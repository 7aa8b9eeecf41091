#include "app/window/AggiornaDolvo.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QProgressBar>
#include <QScreen>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QWindow>

#include <algorithm>
#include <string_view>

#include "app/core/ProductTable.h"
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

// The window was drawn in twips; at 96 dots per inch 15 of them make a pixel.
constexpr int kTwipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel};
}

constexpr QSize kClientSize{14055 / kTwipsPerPixel, 7800 / kTwipsPerPixel};

// How often, at most, the window handles paints and input while a command
// holds its thread: often enough that a click on USCITA acts at once.
constexpr qint64 kPendingIntervalMs = 20;

QString text(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QFont requestedFont(const QString& family, qreal points, QFont::Weight weight)
{
    QFont font(family);
    font.setPointSizeF(points);
    font.setWeight(weight);
    return font;
}

// Arial Rounded MT Bold is a heavy face by design, even at its regular
// weight (400); its stand-in Comfortaa is thin at 400 and looks like it only
// in its bold cut. The request stays as designed; only where the real face
// is missing is the stand-in's bold cut asked for by its style name.
QFont captionFont()
{
    QFont font = requestedFont(AggiornaDolvo::kRoundedFace, 14.25, QFont::Normal);
    if (!QFontDatabase::hasFamily(AggiornaDolvo::kRoundedFace))
        font.setStyleName(u"Bold"_s);
    return font;
}

void setTextColour(QWidget* widget, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

void setBackgroundColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour)
{
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// Where each product box stands in the frame, top to bottom; its name and
// caption come from the product table.
struct ProductBoxPlace {
    std::string_view checkBox;
    QRect geometry;  // inside Frame1
    qreal points;
};

constexpr std::array<ProductBoxPlace, 6> kProductBoxPlaces{{
    {"dv", twips(240, 480, 2055, 375), 12},
    {"tv", twips(240, 1080, 2055, 375), 12},
    {"kv", twips(240, 1680, 2055, 375), 12},
    {"dvp", twips(240, 2280, 2055, 375), 12},
    {"tvw", twips(240, 2880, 2295, 375), 12},
    {"kvw", twips(240, 3480, 2295, 375), 9.75},
}};

QString captionOf(std::string_view checkBox)
{
    for (const Product& product : kProducts) {
        if (product.checkBox == checkBox)
            return text(product.caption);
    }
    for (const UnsweptBox& box : kUnsweptBoxes) {
        if (box.checkBox == checkBox)
            return text(box.caption);
    }
    return {};
}

QString rootText(const std::filesystem::path& root)
{
    return QString::fromStdU16String(root.u16string());
}

}  // namespace

// A product check box as the start-up sweep sees it.
class AggiornaDolvo::BoxAdapter final : public CheckBox {
public:
    explicit BoxAdapter(QCheckBox* box) : box_(box) {}
    short value() const override { return box_->isChecked() ? short{1} : short{0}; }
    void setValue(short value) override { box_->setChecked(value != 0); }

private:
    QCheckBox* box_;
};

AggiornaDolvo::AggiornaDolvo(const Config& config, platform::FtpClient& ftp, Terminator& terminator, QWidget* parent)
    : QWidget(parent, Qt::Window), config_(config), ftp_(ftp), terminator_(terminator)
{
    std::future<resources::Pictures> pictures = resources::decodePictures();
    setObjectName(u"AggiornaDolvo"_s);
    setWindowTitle(text::kWindowTitle);
    resize(kClientSize);
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

void AggiornaDolvo::createLabels()
{
    titleLabel_ = new QLabel(u"Aggiornamento Programmi"_s, this);
    titleLabel_->setObjectName(u"Label3"_s);
    titleLabel_->setGeometry(twips(0, 0, 6135, 615));
    titleLabel_->setFont(requestedFont(kSansSerifFace, 18, QFont::Bold));
    titleLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setTextColour(titleLabel_, QColor(255, 0, 0));
    titleLabel_->setAutoFillBackground(true);  // opaque over the picture

    busyLabel_ = new QLabel(u"ATTENDERE..."_s, this);
    busyLabel_->setObjectName(u"Label4"_s);
    busyLabel_->setGeometry(twips(1440, 4680, 3735, 615));
    busyLabel_->setFont(requestedFont(kSansSerifFace, 24, QFont::Bold));
    busyLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColour(busyLabel_, QColor(255, 0, 0));
    setBackgroundColour(busyLabel_, QPalette::Window, QColor(255, 255, 0));
    busyLabel_->hide();

    // Not in the original arrangement: a download's progress, just under the
    // busy label and above the button row, clear of every other control.
    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName(u"progressDownload"_s);
    const QRect busy = busyLabel_->geometry();
    progressBar_->setGeometry(busy.left(), busy.y() + busy.height() + 5, busy.width(), 20);
    progressBar_->setRange(0, 1000);
    progressBar_->hide();
}

void AggiornaDolvo::createStatusBox()
{
    statusBox_ = new QPlainTextEdit(this);
    statusBox_->setObjectName(u"txtStatus"_s);
    statusBox_->setGeometry(twips(9120, 240, 4875, 6045));
    statusBox_->setReadOnly(true);
    // The operator may still move the caret and select, to read and copy.
    statusBox_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    statusBox_->setFocusPolicy(Qt::StrongFocus);
    statusBox_->setLineWrapMode(QPlainTextEdit::NoWrap);
    statusBox_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    statusBox_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    statusBox_->setUndoRedoEnabled(false);
    QPalette palette = statusBox_->palette();
    palette.setColor(QPalette::Base, QColor(255, 255, 192));
    statusBox_->setPalette(palette);
}

void AggiornaDolvo::createButtons()
{
    const QFont font = captionFont();
    downloadButton_ = new FlatColourButton(u"DOWNLOAD"_s, this);
    downloadButton_->setObjectName(u"Command1"_s);
    downloadButton_->setGeometry(twips(120, 6480, 3600, 1245));
    downloadButton_->setFont(font);
    downloadButton_->setVisible(config_.showDownload);
    connect(downloadButton_, &FlatColourButton::clicked, this, &AggiornaDolvo::runUpdateCommand);
    downloadButton_->installEventFilter(this);

    exitButton_ = new FlatColourButton(u"USCITA"_s, this);
    exitButton_->setObjectName(u"Command2"_s);
    exitButton_->setGeometry(twips(10320, 6480, 3600, 1245));
    exitButton_->setFont(font);
    connect(exitButton_, &FlatColourButton::clicked, this, &AggiornaDolvo::ExitCommand);
}

void AggiornaDolvo::createDriveList()
{
    // Hidden, and fixed when the window is made: the drive the update writes to.
    driveList_ = new QComboBox(this);
    driveList_->setObjectName(u"Drive1"_s);
    driveList_->setGeometry(twips(2880, 3840, 2175, 315));
    driveList_->addItem(rootText(config_.root));
    driveList_->setCurrentIndex(0);
    driveList_->hide();
}

void AggiornaDolvo::createProductBoxes()
{
    productFrame_ = new QGroupBox(u"Programmi da Aggiornare"_s, this);
    productFrame_->setObjectName(u"Frame1"_s);
    productFrame_->setGeometry(twips(6240, 120, 2775, 6015));
    productFrame_->setAutoFillBackground(true);

    for (const ProductBoxPlace& place : kProductBoxPlaces) {
        auto* box = new QCheckBox(captionOf(place.checkBox), productFrame_);
        box->setObjectName(QString::fromLatin1(place.checkBox.data(), static_cast<qsizetype>(place.checkBox.size())));
        box->setGeometry(place.geometry);
        box->setFont(requestedFont(kSansSerifFace, place.points, QFont::Bold));
        setTextColour(box, QColor(0, 0, 255));
        for (std::size_t i = 0; i < kProducts.size(); ++i) {
            if (kProducts[i].checkBox == place.checkBox)
                productBoxes_[i] = std::make_unique<BoxAdapter>(box);
        }
    }
}

void AggiornaDolvo::setTabOrder()
{
    // The designed sequence: the log, DOWNLOAD, the drive list, USCITA, then
    // the product boxes top to bottom. Hidden controls are passed over.
    QWidget* previous = statusBox_;
    for (QWidget* next : {static_cast<QWidget*>(downloadButton_), static_cast<QWidget*>(driveList_),
                          static_cast<QWidget*>(exitButton_)}) {
        QWidget::setTabOrder(previous, next);
        previous = next;
    }
    for (QCheckBox* box : productFrame_->findChildren<QCheckBox*>(Qt::FindDirectChildrenOnly)) {
        QWidget::setTabOrder(previous, box);
        previous = box;
    }
}

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
    const UpdateReport report =
        adv::UpdateCommand(*this, ftp_, config_, {.mode = UpdateMode::Operator, .leftRunning = leftRunning_});
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
