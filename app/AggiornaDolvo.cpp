#include "app/AggiornaDolvo.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFont>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QTextDocument>
#include <QTranslator>

#include <algorithm>
#include <future>

#include "app/DvButton.h"
#include "app/ProductTable.h"
#include "app/StatusLog.h"
#include "platform/ConfirmDialog.h"
#include "resources/resources.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// The window was drawn in twips; at 96 dots per inch 15 of them make a pixel.
constexpr int kTwipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

constexpr QSize kClientSize{14055 / kTwipsPerPixel, 7800 / kTwipsPerPixel};

const QString kSansSerif = u"MS Sans Serif"_s;
const QString kRounded = u"Arial Rounded MT Bold"_s;

QFont requestedFont(const QString& family, qreal points, QFont::Weight weight)
{
    QFont font(family);
    font.setPointSizeF(points);
    font.setWeight(weight);
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

struct ProductBoxLayout {
    const char16_t* name;
    const char16_t* caption;
    QRect geometry;  // inside Frame1
    qreal points;
};

// Top to bottom, as they stand in the frame.
constexpr std::array<ProductBoxLayout, 6> kProductBoxes{{
    {u"dv", u"Dolvo", twips(240, 480, 2055, 375), 12},
    {u"tv", u"Trevanto", twips(240, 1080, 2055, 375), 12},
    {u"kv", u"Kivo", twips(240, 1680, 2055, 375), 12},
    {u"dvp", u"Varenta", twips(240, 2280, 2055, 375), 12},
    {u"tvw", u"TV Term.WIFI", twips(240, 2880, 2295, 375), 12},
    {u"kvw", u"KIVO Term.WIFI", twips(240, 3480, 2295, 375), 9.75},
}};

// How often, at most, the window handles paints and input while a command
// holds its thread: often enough that a click on USCITA acts at once.
constexpr qint64 kPendingIntervalMs = 20;

// Read as PNG outright: left to guess, QImageReader would first load every
// image format plugin to ask each whether it knows the file, which costs more
// at start-up than decoding the picture.
QImage readPng(const QString& path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

struct Pictures {
    QImage background;
    QImage icon;
};

// Decoding the pictures is the one part of making the window that needs no
// widget and no font, and the fonts' first use, by the status box a few
// controls later, costs more: a worker decodes them meanwhile. Where no
// thread can be had, they are decoded on first get().
std::future<Pictures> decodePictures()
{
    return std::async(std::launch::async | std::launch::deferred, [] {
        return Pictures{readPng(resources::backgroundPicture()), readPng(resources::windowIcon())};
    });
}

QString rootText(const std::filesystem::path& root)
{
    return QString::fromStdU16String(root.u16string());
}

}  // namespace

bool installItalianQtTranslations()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    // An explicit locale: LANG may say anything, the window is Italian.
    auto* translator = new QTranslator(app);
    if (!translator->load(QLocale(QLocale::Italian, QLocale::Italy), u"qtbase"_s, u"_"_s,
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}

void installFontSubstitutes()
{
    // The window names the faces it was designed with; where they are not
    // installed, metric-compatible or look-alike faces stand in.
    const auto add = [](const QString& family, const QStringList& standIns) {
        const QStringList known = QFont::substitutes(family);
        for (const QString& standIn : standIns) {
            if (!known.contains(standIn))
                QFont::insertSubstitution(family, standIn);
        }
    };
    add(kSansSerif, {u"Liberation Sans"_s, u"Arimo"_s, u"Arial"_s, u"DejaVu Sans"_s});
    add(kRounded, {u"Comfortaa"_s, u"Arial"_s, u"Liberation Sans"_s, u"DejaVu Sans"_s});
}

// A product check box as the start-up sweep sees it.
class AggiornaDolvo::BoxAdapter final : public CheckBox {
public:
    explicit BoxAdapter(QCheckBox* box) : box_(box) {}
    short value() const override { return box_->isChecked() ? short{1} : short{0}; }
    void setValue(short value) override { box_->setChecked(value != 0); }

private:
    QCheckBox* box_;
};

AggiornaDolvo::AggiornaDolvo(const Config& config, platform::FtpClient& ftp, Terminator& terminator,
                             QWidget* parent)
    : QWidget(parent, Qt::Window), config_(config), ftp_(ftp), terminator_(terminator)
{
    std::future<Pictures> pictures = decodePictures();
    installFontSubstitutes();
    setObjectName(u"AggiornaDolvo"_s);
    setWindowTitle(u"Aggiornamento Software"_s);
    resize(kClientSize);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, kClientSize,
                                        screen->availableGeometry()));
    }
    createControls();

    // Pixmaps and the icon belong to this thread.
    const Pictures decoded = pictures.get();
    background_ = QPixmap::fromImage(decoded.background);
    setWindowIcon(QIcon(QPixmap::fromImage(decoded.icon)));
}

AggiornaDolvo::~AggiornaDolvo()
{
    setPointer(Pointer::Arrow);
}

void AggiornaDolvo::createControls()
{
    // Created in the order of the tab sequence, so that the focus chain
    // follows it; setTabOrder below makes it explicit.
    label3_ = new QLabel(u"Aggiornamento Programmi"_s, this);
    label3_->setObjectName(u"Label3"_s);
    label3_->setGeometry(twips(0, 0, 6135, 615));
    label3_->setFont(requestedFont(kSansSerif, 18, QFont::Bold));
    label3_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    setTextColour(label3_, QColor(255, 0, 0));
    label3_->setAutoFillBackground(true);  // opaque over the picture

    label4_ = new QLabel(u"ATTENDERE..."_s, this);
    label4_->setObjectName(u"Label4"_s);
    label4_->setGeometry(twips(1440, 4680, 3735, 615));
    label4_->setFont(requestedFont(kSansSerif, 24, QFont::Bold));
    label4_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setTextColour(label4_, QColor(255, 0, 0));
    setBackgroundColour(label4_, QPalette::Window, QColor(255, 255, 0));
    label4_->hide();

    // Not in the original arrangement: a download's progress, just under the
    // busy label and above the button row, clear of every other control.
    progress_ = new QProgressBar(this);
    progress_->setObjectName(u"progressDownload"_s);
    const QRect busy = label4_->geometry();
    progress_->setGeometry(busy.left(), busy.y() + busy.height() + 5, busy.width(), 20);
    progress_->setRange(0, 1000);
    progress_->hide();

    txtStatus_ = new QPlainTextEdit(this);
    txtStatus_->setObjectName(u"txtStatus"_s);
    txtStatus_->setGeometry(twips(9120, 240, 4875, 6045));
    txtStatus_->setReadOnly(true);
    // The operator may still move the caret and select, to read and copy.
    txtStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtStatus_->setFocusPolicy(Qt::StrongFocus);
    txtStatus_->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtStatus_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtStatus_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtStatus_->setUndoRedoEnabled(false);
    {
        QPalette palette = txtStatus_->palette();
        palette.setColor(QPalette::Base, QColor(255, 255, 192));
        txtStatus_->setPalette(palette);
    }

    const QFont captionFont = requestedFont(kRounded, 14.25, QFont::Normal);
    command1_ = new DvButton(u"DOWNLOAD"_s, this);
    command1_->setObjectName(u"Command1"_s);
    command1_->setGeometry(twips(120, 6480, 3600, 1245));
    command1_->setFont(captionFont);
    command1_->setVisible(config_.showDownload);
    connect(command1_, &DvButton::clicked, this, &AggiornaDolvo::runUpdateCommand);
    command1_->installEventFilter(this);

    // Hidden, and fixed when the window is made: the drive the update writes to.
    drive1_ = new QComboBox(this);
    drive1_->setObjectName(u"Drive1"_s);
    drive1_->setGeometry(twips(2880, 3840, 2175, 315));
    drive1_->addItem(rootText(config_.root));
    drive1_->setCurrentIndex(0);
    drive1_->hide();

    command2_ = new DvButton(u"USCITA"_s, this);
    command2_->setObjectName(u"Command2"_s);
    command2_->setGeometry(twips(10320, 6480, 3600, 1245));
    command2_->setFont(captionFont);
    connect(command2_, &DvButton::clicked, this, &AggiornaDolvo::ExitCommand);

    frame1_ = new QGroupBox(u"Programmi da Aggiornare"_s, this);
    frame1_->setObjectName(u"Frame1"_s);
    frame1_->setGeometry(twips(6240, 120, 2775, 6015));
    frame1_->setAutoFillBackground(true);

    QWidget* previous = command2_;
    QWidget::setTabOrder(txtStatus_, command1_);
    QWidget::setTabOrder(command1_, drive1_);
    QWidget::setTabOrder(drive1_, command2_);
    for (const ProductBoxLayout& place : kProductBoxes) {
        auto* box = new QCheckBox(QString::fromUtf16(place.caption), frame1_);
        box->setObjectName(QString::fromUtf16(place.name));
        box->setGeometry(place.geometry);
        box->setFont(requestedFont(kSansSerif, place.points, QFont::Bold));
        setTextColour(box, QColor(0, 0, 255));
        QWidget::setTabOrder(previous, box);
        previous = box;
    }

    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const QString name = QString::fromLatin1(kProducts[i].checkBox.data(),
                                                 static_cast<qsizetype>(kProducts[i].checkBox.size()));
        auto* box = frame1_->findChild<QCheckBox*>(name, Qt::FindDirectChildrenOnly);
        Q_ASSERT(box != nullptr);
        productBoxes_[i] = std::make_unique<BoxAdapter>(box);
    }
}

void AggiornaDolvo::load()
{
    // What could not be closed is for the command line to report; the
    // window stays silent about it.
    (void)StartupSweep(config_.root, productCheckBoxes(), terminator_);
}

ProductCheckBoxes AggiornaDolvo::productCheckBoxes()
{
    return {productBoxes_[0].get(), productBoxes_[1].get(), productBoxes_[2].get(),
            productBoxes_[3].get()};
}

QString AggiornaDolvo::statusText() const
{
    // The document keeps a paragraph separator between lines; the log's
    // lines are joined by CR LF.
    QString text = txtStatus_->document()->toRawText();
    text.replace(QChar(QChar::ParagraphSeparator), QString(kStatusLineBreak));
    return text;
}

void AggiornaDolvo::setPointer(Pointer pointer)
{
    if (pointer == pointer_)
        return;
    // One override for the whole application, so the hourglass shows over
    // every control, whatever cursor it normally has.
    if (pointer == Pointer::Hourglass)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    pointer_ = pointer;
}

bool AggiornaDolvo::askYesNo(const QString& prompt, const QString& title)
{
    return platform::askYesNo(this, prompt, title);
}

QString AggiornaDolvo::driveText() const
{
    return drive1_->currentText();
}

void AggiornaDolvo::showBusyLabel()
{
    label4_->show();
    label4_->repaint();
    handlePending(false);
}

void AggiornaDolvo::AppendStatus(const QString& message)
{
    QTextDocument* document = txtStatus_->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(statusLine(message));

    // Caret after the last character, the newest line in view, from its start.
    txtStatus_->setTextCursor(cursor);
    txtStatus_->ensureCursorVisible();
    QScrollBar* across = txtStatus_->horizontalScrollBar();
    across->setValue(across->minimum());
    txtStatus_->repaint();
    handlePending(false);
}

void AggiornaDolvo::downloadProgress(std::int64_t received, std::int64_t total)
{
    if (received < 0) {
        progress_->hide();
        handlePending(false);
        return;
    }
    if (total > 0) {
        progress_->setRange(0, 1000);
        const std::int64_t permille = std::min<std::int64_t>(received, total) * 1000 / total;
        progress_->setValue(static_cast<int>(permille));
    } else {
        progress_->setRange(0, 0);  // size unknown: a busy bar
    }
    const bool appearing = progress_->isHidden();
    progress_->show();
    handlePending(!appearing);
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
    adv::UpdateCommand(*this, ftp_, config_);
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
    if (watched == command1_ && busy_) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void AggiornaDolvo::handlePending(bool throttled)
{
    if (throttled && lastPaint_.isValid() && lastPaint_.elapsed() < kPendingIntervalMs)
        return;
    // Input too: held back, it would be replayed only when some later event
    // woke the event loop, long after the command.
    QCoreApplication::processEvents();
    lastPaint_.restart();
}

}  // namespace adv
