// The window's own button: its face colour in each state, and one click per
// press and release.
#include <gtest/gtest.h>

#include <QCursor>
#include <QEnterEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "app/window/FlatColourButton.h"

using namespace Qt::StringLiterals;
using adv::FlatColourButton;

namespace {

// Distinct colours, so that each state shows which face it picked.
const FlatColourButton::Faces kDistinct{.normal = QColor(10, 10, 10),
                                        .over = QColor(20, 20, 20),
                                        .down = QColor(30, 30, 30),
                                        .focus = QColor(40, 40, 40),
                                        .disabled = QColor(50, 50, 50)};

enum State : unsigned { Hovered = 1, Pressed = 2, Focused = 4, Disabled = 8 };

struct FaceCase {
    const char* label;
    unsigned state;
    QColor distinct;  // with kDistinct
    QColor standard;  // with the window's faces
};

void PrintTo(const FaceCase& c, std::ostream* os)
{
    *os << c.label;
}

const QColor kBlue(182, 209, 245);
const QColor kCream(255, 244, 204);

const FaceCase kFaceCases[] = {
    {"Normal", 0, QColor(10, 10, 10), kBlue},
    {"UnderTheMouse", Hovered, QColor(20, 20, 20), kCream},
    {"Pressed", Pressed, QColor(30, 30, 30), kBlue},
    {"PressedUnderTheMouse", Pressed | Hovered, QColor(30, 30, 30), kBlue},
    {"Focused", Focused, QColor(40, 40, 40), kBlue},
    {"FocusedUnderTheMouse", Focused | Hovered, QColor(20, 20, 20), kCream},
    {"Disabled", Disabled, QColor(50, 50, 50), kBlue},
    {"DisabledUnderTheMouse", Disabled | Hovered, QColor(50, 50, 50), kBlue},
};

class ButtonFace : public ::testing::TestWithParam<FaceCase> {};

TEST_P(ButtonFace, PaintsTheStatesColour)
{
    const FaceCase& c = GetParam();
    for (const bool standard : {true, false}) {
        QWidget window;
        window.resize(300, 120);
        auto* button = new FlatColourButton(u"USCITA"_s, &window);
        button->setGeometry(10, 10, 240, 83);
        if (!standard)
            button->setFaces(kDistinct);
        // On a real screen the pointer must not stand over the button by chance.
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            QCursor::setPos(screen->geometry().bottomRight());
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

        // The only control of an active window takes the focus by itself.
        if (c.state & Focused)
            button->setFocus();
        else
            button->clearFocus();
        if (c.state & Hovered) {
            QEnterEvent enter(QPointF(5, 5), QPointF(15, 15), QPointF(15, 15));
            QCoreApplication::sendEvent(button, &enter);
        }
        if (c.state & Pressed)
            button->setDown(true);
        if (c.state & Disabled)
            button->setEnabled(false);

        const QColor expected = standard ? c.standard : c.distinct;
        EXPECT_EQ(button->faceColor(), expected) << (standard ? "standard" : "distinct");
        // Painted, away from the caption and the edge.
        const QImage face = button->grab().toImage();
        EXPECT_EQ(QColor(face.pixel(8, 8)), expected);
        EXPECT_EQ(QColor(face.pixel(230, 75)), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(States, ButtonFace, ::testing::ValuesIn(kFaceCases),
                         [](const auto& row) { return std::string(row.param.label); });

TEST(ButtonFace, LeavingRestoresTheNormalFace)
{
    FlatColourButton button(u"USCITA"_s);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(&button, &enter);
    EXPECT_EQ(button.faceColor(), kCream);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&button, &leave);
    EXPECT_EQ(button.faceColor(), kBlue);
}

TEST(ButtonCaption, DrawnInTheCaptionFontCentred)
{
    QWidget window;
    auto* button = new FlatColourButton(u"USCITA"_s, &window);
    button->setGeometry(0, 0, 240, 83);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QImage face = button->grab().toImage();
    // Some dark text pixels in the middle band, none in the corners.
    int inked = 0;
    for (int y = 30; y < 55; ++y)
        for (int x = 60; x < 180; ++x)
            if (qGray(face.pixel(x, y)) < 100)
                ++inked;
    EXPECT_GT(inked, 20);
    EXPECT_EQ(button->text(), u"USCITA"_s);
}

struct ClickCase {
    const char* label;
    std::function<void(FlatColourButton&)> act;
    int clicks;
};

void PrintTo(const ClickCase& c, std::ostream* os)
{
    *os << c.label;
}

class ButtonClick : public ::testing::TestWithParam<ClickCase> {};

TEST_P(ButtonClick, RaisesOneClickPerPressAndRelease)
{
    QWidget window;
    auto* button = new FlatColourButton(u"USCITA"_s, &window);
    button->setGeometry(0, 0, 240, 83);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QSignalSpy clicked(button, &FlatColourButton::clicked);
    GetParam().act(*button);
    EXPECT_EQ(clicked.count(), GetParam().clicks);
}

const ClickCase kClickCases[] = {
    {"MouseClick", [](FlatColourButton& b) { QTest::mouseClick(&b, Qt::LeftButton); }, 1},
    {"TwoClicks",
     [](FlatColourButton& b) {
         QTest::mouseClick(&b, Qt::LeftButton);
         QTest::mouseClick(&b, Qt::LeftButton);
     },
     2},
    {"ReleasedOutside",
     [](FlatColourButton& b) {
         QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(10, 10));
         QTest::mouseMove(&b, QPoint(400, 300));
         QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(400, 300));
     },
     0},
    {"RightButton", [](FlatColourButton& b) { QTest::mouseClick(&b, Qt::RightButton); }, 0},
    {"SpaceKey",
     [](FlatColourButton& b) {
         b.setFocus();
         QTest::keyClick(&b, Qt::Key_Space);
     },
     1},
    {"Disabled",
     [](FlatColourButton& b) {
         b.setEnabled(false);
         QTest::mouseClick(&b, Qt::LeftButton);
     },
     0},
};

INSTANTIATE_TEST_SUITE_P(Ways, ButtonClick, ::testing::ValuesIn(kClickCases),
                         [](const auto& row) { return std::string(row.param.label); });

}  // namespace
