// The window's controls as they were designed: their places in twips, their
// faces and colours, the product boxes from the product table.
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>

#include <algorithm>
#include <string_view>

#include "app/core/ProductTable.h"
#include "app/window/AggiornaDolvo.h"
#include "app/window/FlatColourButton.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// The window was drawn in twips; at 96 dots per inch 15 of them make a pixel.
constexpr int kTwipsPerPixel = 15;

constexpr QRect twips(int left, int top, int width, int height)
{
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel};
}

constexpr QSize kClientSize{14055 / kTwipsPerPixel, 7800 / kTwipsPerPixel};

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

QSize AggiornaDolvo::designedSize()
{
    return kClientSize;
}

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

}  // namespace adv
