// The window as built: every control where the layout puts it, with its
// caption, font, colours and visibility, the tab order and the picture.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSet>
#include <QTest>

#include <optional>

#include "app/window/FlatColourButton.h"
#include "resources/Resources.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;
using adv::test::WindowStage;

namespace {

struct FontRequest {
    const char16_t* family;
    qreal points;
    int weight;
};

struct ControlRow {
    const char* name;
    const char* className;
    const char* parent;
    const char16_t* caption;
    QRect geometry;  // pixels, from the layout's twips / 15
    bool visibleAtStart;
    std::optional<FontRequest> font;
};

void PrintTo(const ControlRow& row, std::ostream* os)
{
    *os << row.name;
}

constexpr FontRequest kCaptionFont{u"Arial Rounded MT Bold", 14.25, QFont::Normal};

const ControlRow kControls[] = {
    {"Frame1", "QGroupBox", "AggiornaDolvo", u"Programmi da Aggiornare", {416, 8, 185, 401}, true, {}},
    {"kvw",
     "QCheckBox",
     "Frame1",
     u"KIVO Term.WIFI",
     {16, 232, 153, 25},
     true,
     FontRequest{u"MS Sans Serif", 9.75, QFont::Bold}},
    {"tvw",
     "QCheckBox",
     "Frame1",
     u"TV Term.WIFI",
     {16, 192, 153, 25},
     true,
     FontRequest{u"MS Sans Serif", 12, QFont::Bold}},
    {"dvp",
     "QCheckBox",
     "Frame1",
     u"Varenta",
     {16, 152, 137, 25},
     true,
     FontRequest{u"MS Sans Serif", 12, QFont::Bold}},
    {"kv", "QCheckBox", "Frame1", u"Kivo", {16, 112, 137, 25}, true, FontRequest{u"MS Sans Serif", 12, QFont::Bold}},
    {"tv", "QCheckBox", "Frame1", u"Trevanto", {16, 72, 137, 25}, true, FontRequest{u"MS Sans Serif", 12, QFont::Bold}},
    {"dv", "QCheckBox", "Frame1", u"Dolvo", {16, 32, 137, 25}, true, FontRequest{u"MS Sans Serif", 12, QFont::Bold}},
    {"Drive1", "QComboBox", "AggiornaDolvo", nullptr, {192, 256, 145, 21}, false, {}},
    {"txtStatus", "QPlainTextEdit", "AggiornaDolvo", u"", {608, 16, 325, 403}, true, {}},
    {"Command1", "adv::FlatColourButton", "AggiornaDolvo", u"DOWNLOAD", {8, 432, 240, 83}, false, kCaptionFont},
    {"Command2", "adv::FlatColourButton", "AggiornaDolvo", u"USCITA", {688, 432, 240, 83}, true, kCaptionFont},
    {"Label4",
     "QLabel",
     "AggiornaDolvo",
     u"ATTENDERE...",
     {96, 312, 249, 41},
     false,
     FontRequest{u"MS Sans Serif", 24, QFont::Bold}},
    {"Label3",
     "QLabel",
     "AggiornaDolvo",
     u"Aggiornamento Programmi",
     {0, 0, 409, 41},
     true,
     FontRequest{u"MS Sans Serif", 18, QFont::Bold}},
    {"progressDownload", "QProgressBar", "AggiornaDolvo", nullptr, {96, 358, 249, 20}, false, {}},
};

QString captionOf(QWidget* w)
{
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text();
    if (auto* frame = qobject_cast<QGroupBox*>(w))
        return frame->title();
    if (auto* edit = qobject_cast<QPlainTextEdit*>(w))
        return edit->toPlainText();
    return {};
}

class ControlLayout : public ::testing::TestWithParam<ControlRow> {};

TEST_P(ControlLayout, StandsWhereTheLayoutPutsIt)
{
    const ControlRow& row = GetParam();
    WindowStage stage;
    auto window = stage.window();
    window->load();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    auto* w = window->findChild<QWidget*>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr) << row.name;
    EXPECT_STREQ(w->metaObject()->className(), row.className);
    ASSERT_NE(w->parentWidget(), nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
    EXPECT_EQ(w->geometry(), row.geometry);
    EXPECT_EQ(w->isVisible(), row.visibleAtStart);
    if (row.caption != nullptr) {
        EXPECT_EQ(captionOf(w), QString::fromUtf16(row.caption));
    }
    if (row.font) {
        const QFont f = w->font();
        EXPECT_EQ(f.family(), QString::fromUtf16(row.font->family));
        EXPECT_DOUBLE_EQ(f.pointSizeF(), row.font->points);
        EXPECT_EQ(f.weight(), row.font->weight);
        EXPECT_FALSE(f.italic());
        EXPECT_FALSE(f.underline());
        EXPECT_FALSE(f.strikeOut());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryControl, ControlLayout, ::testing::ValuesIn(kControls),
                         [](const auto& row) { return std::string(row.param.name); });

struct ColourRow {
    const char* name;
    QPalette::ColorRole role;
    QColor colour;
    bool opaque;  // fills its own background
};

void PrintTo(const ColourRow& row, std::ostream* os)
{
    *os << row.name << " role " << static_cast<int>(row.role);
}

const ColourRow kColours[] = {
    {"dv", QPalette::WindowText, QColor(0, 0, 255), false},
    {"tv", QPalette::WindowText, QColor(0, 0, 255), false},
    {"kv", QPalette::WindowText, QColor(0, 0, 255), false},
    {"dvp", QPalette::WindowText, QColor(0, 0, 255), false},
    {"tvw", QPalette::WindowText, QColor(0, 0, 255), false},
    {"kvw", QPalette::WindowText, QColor(0, 0, 255), false},
    {"txtStatus", QPalette::Base, QColor(255, 255, 192), true},
    {"Label4", QPalette::Window, QColor(255, 255, 0), true},
    {"Label4", QPalette::WindowText, QColor(255, 0, 0), true},
    {"Label3", QPalette::WindowText, QColor(255, 0, 0), true},
};

class ControlColour : public ::testing::TestWithParam<ColourRow> {};

TEST_P(ControlColour, IsTheLayoutsColour)
{
    const ColourRow& row = GetParam();
    WindowStage stage;
    auto window = stage.window();
    auto* w = window->findChild<QWidget*>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->palette().color(row.role), row.colour);
    if (row.opaque && qobject_cast<QLabel*>(w) != nullptr) {
        EXPECT_TRUE(w->autoFillBackground()) << row.name << " must hide the picture under it";
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, ControlColour, ::testing::ValuesIn(kColours));

// A "Desktop" test: only a window manager frames the window, after mapping it.
TEST(DesktopWindow, CaptionSizeNameAndFrame)
{
    WindowStage stage;
    auto window = stage.window();
    EXPECT_EQ(window->objectName(), u"AggiornaDolvo"_s);
    EXPECT_EQ(window->windowTitle(), u"Aggiornamento Software"_s);
    EXPECT_EQ(window->size(), QSize(937, 520));
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::Window));
    EXPECT_FALSE(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    EXPECT_NE(window->minimumSize(), window->maximumSize()) << "the frame is sizable";
    EXPECT_EQ(window->layout(), nullptr);

    // A window manager on a busy machine takes its time: the deadlines only
    // keep a broken one from hanging the test.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get(), 60000));
    EXPECT_FALSE(window->isMinimized());
    EXPECT_FALSE(window->isMaximized());
    const QRect screen = window->screen()->availableGeometry();
    // The whole window, frame included: the offscreen platform gives it a
    // thin frame at once, a window manager a title bar after mapping it.
    // Checked along each axis the window fits in: the offscreen screen may
    // be narrower than the window, and then the platform pushes it about.
    const auto offCentre = [&] { return window->frameGeometry().center() - screen.center(); };
    QElapsedTimer clock;
    clock.start();
    while (std::abs(offCentre().y()) > 1 && clock.elapsed() < 60000)
        QTest::qWait(20);
    ASSERT_LE(window->height(), screen.height());
    EXPECT_LE(std::abs(offCentre().y()), 1) << "centred down the screen, frame included";
    if (window->width() <= screen.width()) {
        EXPECT_LE(std::abs(offCentre().x()), 1) << "centred across the screen";
    }
    EXPECT_EQ(window->size(), QSize(937, 520)) << "the client area keeps its size under a frame";
}

TEST(Window, IconIs48Pixels)
{
    WindowStage stage;
    auto window = stage.window();
    const QIcon icon = window->windowIcon();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes(), QList<QSize>{QSize(48, 48)});

    // The 256-colour image of the program file's own icon, pixel for pixel.
    const QImage shown = icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32);
    QImageReader reader(adv::resources::windowIcon(), "ico");
    const QImage file = reader.read().convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(file.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(shown, file);
    QSet<QRgb> colours;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            colours.insert(shown.pixel(x, y));
    EXPECT_LE(colours.size(), 256);
}

TEST(Window, ResizingMovesNothing)
{
    WindowStage stage;
    auto window = stage.window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    std::vector<std::pair<QWidget*, QRect>> before;
    for (QWidget* w : window->findChildren<QWidget*>())
        before.emplace_back(w, w->geometry());

    for (const QSize size : {QSize(1200, 800), QSize(300, 200)}) {
        window->resize(size);
        QCoreApplication::processEvents();
        for (const auto& [w, geometry] : before)
            EXPECT_EQ(w->geometry(), geometry) << w->objectName().toStdString() << " at " << size.width();
    }
}

TEST(Window, NoTwoControlsOverlap)
{
    WindowStage stage;
    auto window = stage.window();
    const QList<QWidget*> controls = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_GE(controls.size(), 8);
    for (qsizetype i = 0; i < controls.size(); ++i)
        for (qsizetype j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << controls[i]->objectName().toStdString() << " and " << controls[j]->objectName().toStdString();
    const QList<QCheckBox*> boxes = window->findChildren<QCheckBox*>();
    for (qsizetype i = 0; i < boxes.size(); ++i)
        for (qsizetype j = i + 1; j < boxes.size(); ++j)
            EXPECT_FALSE(boxes[i]->geometry().intersects(boxes[j]->geometry()));
}

TEST(Window, ChecksBoxesTopToBottomInFrame)
{
    WindowStage stage;
    auto window = stage.window();
    auto* frame = window->findChild<QGroupBox*>(u"Frame1"_s);
    ASSERT_NE(frame, nullptr);
    QList<QCheckBox*> boxes = frame->findChildren<QCheckBox*>();
    std::sort(boxes.begin(), boxes.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
    QStringList names;
    for (auto* b : boxes) {
        names << b->objectName();
        EXPECT_FALSE(b->isChecked()) << "every box starts clear";
        EXPECT_FALSE(b->isTristate());
    }
    EXPECT_EQ(names, (QStringList{u"dv"_s, u"tv"_s, u"kv"_s, u"dvp"_s, u"tvw"_s, u"kvw"_s}));
}

TEST(Window, StatusBoxIsReadOnlyUnwrappedWithBothScrollBars)
{
    WindowStage stage;
    auto window = stage.window();
    auto* log = window->findChild<QPlainTextEdit*>(u"txtStatus"_s);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(log->toPlainText().isEmpty());

    // Typing changes nothing.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    log->setFocus();
    QTest::keyClicks(log, u"abc"_s);
    QTest::keyClick(log, Qt::Key_Return);
    EXPECT_TRUE(log->toPlainText().isEmpty());
}

TEST(Window, DriveListIsHiddenAndHoldsTheRootFromTheStart)
{
    WindowStage stage;
    auto window = stage.window();
    auto* drive = window->findChild<QComboBox*>(u"Drive1"_s);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(window->driveText(), stage.dir.path()) << "available before load and show";
    EXPECT_EQ(drive->currentText(), stage.dir.path());
    window->load();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    EXPECT_FALSE(drive->isVisible());
    EXPECT_EQ(window->driveText(), stage.dir.path());
}

TEST(Window, ShowDownloadShowsTheDownloadButton)
{
    for (const bool showDownload : {false, true}) {
        WindowStage stage(showDownload);
        auto window = stage.window();
        window->load();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        auto* download = window->findChild<adv::FlatColourButton*>(u"Command1"_s);
        ASSERT_NE(download, nullptr);
        EXPECT_EQ(download->isVisible(), showDownload);
    }
}

// The focus moves as Tab moves it: controls in TabIndex order, skipping the
// labels, the frame and hidden controls.
QStringList tabWalk(adv::AggiornaDolvo& window, int presses)
{
    auto* log = window.findChild<QWidget*>(u"txtStatus"_s);
    log->setFocus(Qt::TabFocusReason);
    QStringList seen{window.focusWidget() ? window.focusWidget()->objectName() : QString()};
    for (int i = 0; i < presses; ++i) {
        QWidget* focus = window.focusWidget();
        if (focus == nullptr)
            break;
        QTest::keyClick(focus, Qt::Key_Tab);
        seen << (window.focusWidget() ? window.focusWidget()->objectName() : QString());
    }
    return seen;
}

TEST(Window, TabOrderFollowsTabIndex)
{
    struct Row {
        bool showDownload;
        QStringList expected;
    };
    const Row rows[] = {
        {false,
         {u"txtStatus"_s, u"Command2"_s, u"dv"_s, u"tv"_s, u"kv"_s, u"dvp"_s, u"tvw"_s, u"kvw"_s, u"txtStatus"_s}},
        {true,
         {u"txtStatus"_s, u"Command1"_s, u"Command2"_s, u"dv"_s, u"tv"_s, u"kv"_s, u"dvp"_s, u"tvw"_s, u"kvw"_s,
          u"txtStatus"_s}},
    };
    for (const Row& row : rows) {
        WindowStage stage(row.showDownload);
        auto window = stage.window();
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        EXPECT_EQ(tabWalk(*window, static_cast<int>(row.expected.size()) - 1), row.expected)
            << "show_download " << row.showDownload;
    }
}

TEST(Window, FacesMissingHereAreStoodInFor)
{
    struct Row {
        const char* control;
        QString standIn;
    };
    const Row rows[] = {{"dv", u"Liberation Sans"_s}, {"Label3", u"Liberation Sans"_s}, {"Command2", u"Comfortaa"_s}};
    for (const Row& row : rows) {
        if (!QFontDatabase::hasFamily(row.standIn)) {
            ADD_FAILURE() << row.standIn.toStdString() << " is not installed (fonts-liberation2, fonts-comfortaa)";
            continue;
        }
        WindowStage stage;
        auto window = stage.window();
        auto* w = window->findChild<QWidget*>(QString::fromLatin1(row.control));
        ASSERT_NE(w, nullptr);
        const QString requested = w->font().family();
        if (QFontDatabase::hasFamily(requested))
            continue;  // the real face is installed: nothing to stand in for
        EXPECT_EQ(QFontInfo(w->font()).family(), row.standIn) << row.control;
    }
}

// How many pixels the caption's text darkens, drawn in `font`.
int inkOf(const QFont& font)
{
    QImage image(400, 80, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(image.rect(), Qt::AlignCenter, u"DOWNLOAD USCITA"_s);
    painter.end();
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
    return ink;
}

// Arial Rounded MT Bold is heavy even at its regular weight: its stand-in is
// asked for in its bold cut, while the request stays as designed.
TEST(Window, TheRoundedStandInLooksLikeTheDesignedFace)
{
    WindowStage stage;
    auto window = stage.window();
    for (const char* name : {"Command1", "Command2"}) {
        auto* button = window->findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->font().family(), u"Arial Rounded MT Bold"_s);
        EXPECT_EQ(button->font().weight(), QFont::Normal);
        EXPECT_DOUBLE_EQ(button->font().pointSizeF(), 14.25);
        if (QFontDatabase::hasFamily(u"Arial Rounded MT Bold"_s))
            continue;
        // Drawn as the stand-in's bold cut draws, not as its regular one.
        QFont regular(u"Comfortaa"_s);
        regular.setPointSizeF(14.25);
        QFont bold = regular;
        bold.setWeight(QFont::Bold);
        const int ink = inkOf(button->font());
        EXPECT_EQ(ink, inkOf(bold)) << name;
        EXPECT_GT(ink, inkOf(regular) * 5 / 4) << name;
    }
}

TEST(Window, BackgroundPictureAtTopLeftUnscaled)
{
    const QImage picture(u":/aggiornadv/background.png"_s);
    ASSERT_EQ(picture.size(), QSize(404, 410));

    WindowStage stage;
    auto window = stage.window();
    window->resize(1200, 800);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    // Points of the picture left uncovered by the controls.
    for (const QPoint p :
         {QPoint(5, 60), QPoint(202, 168), QPoint(150, 150), QPoint(390, 300), QPoint(60, 400), QPoint(403, 409)}) {
        EXPECT_EQ(QColor(shot.pixel(p)), QColor(picture.pixel(p))) << p.x() << "," << p.y();
    }
    // Beyond the picture, the window's own colour: the picture is not stretched.
    EXPECT_NE(QColor(shot.pixel(300, 600)), QColor(picture.pixel(300, 409)));
}

}  // namespace
