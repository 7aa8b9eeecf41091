// The Yes/No question: how it looks and what each way of answering returns.
#include <gtest/gtest.h>

#include <QLocale>
#include <QPushButton>
#include <QTest>

#include "app/window/YesNoQuestion.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;
using adv::test::SeenBox;
using adv::test::whenModalBoxAppears;

namespace {

QAbstractButton* buttonWithText(QMessageBox& box, const QString& text)
{
    for (QAbstractButton* b : box.buttons())
        if (b->text() == text)
            return b;
    return nullptr;
}

struct AnswerCase {
    const char* label;
    std::function<void(QMessageBox&)> answer;
    bool expected;
};

void PrintTo(const AnswerCase& c, std::ostream* os)
{
    *os << c.label;
}

const AnswerCase kAnswers[] = {
    {"ClickSi",
     [](QMessageBox& box) {
         if (auto* b = buttonWithText(box, u"Sì"_s))
             b->click();
     },
     true},
    {"ClickNo",
     [](QMessageBox& box) {
         if (auto* b = buttonWithText(box, u"No"_s))
             b->click();
     },
     false},
    {"EnterTakesTheDefault", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, false},
    {"EscapeSaysNo", [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, false},
    {"ClosingSaysNo", [](QMessageBox& box) { box.close(); }, false},
};

class YesNoQuestion : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(YesNoQuestion, LooksRightAndReturnsTheAnswer)
{
    QWidget parent;
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));

    SeenBox seen;
    whenModalBoxAppears(seen, GetParam().answer);
    const bool answer = adv::askYesNoQuestion(&parent, u"Sei sicuro di voler procedere"_s, u"Aggiornamento software"_s);

    ASSERT_TRUE(seen.appeared) << "no modal box came up";
    EXPECT_EQ(answer, GetParam().expected);
    EXPECT_EQ(seen.title, u"Aggiornamento software"_s);
    EXPECT_EQ(seen.text, u"Sei sicuro di voler procedere"_s);
    QStringList buttons = seen.buttons;
    buttons.sort();
    EXPECT_EQ(buttons, (QStringList{u"No"_s, u"Sì"_s}));
    EXPECT_EQ(seen.defaultButton, u"No"_s);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_TRUE(seen.pixmapEmpty) << "no icon at all";
}

INSTANTIATE_TEST_SUITE_P(Answers, YesNoQuestion, ::testing::ValuesIn(kAnswers),
                         [](const auto& row) { return std::string(row.param.label); });

// Whatever the desktop (its theme orders a dialog's buttons and may give
// them icons): "Sì | No", no icon on either. A "Desktop" test: it runs on the
// offscreen platform and, in gui.x11.*, on a real X server as GNOME, KDE and
// no desktop.
TEST(DesktopYesNoQuestionOrder, SiComesBeforeNoWithoutIcons)
{
    QWidget parent;
    parent.show();
    // Deadlines a busy machine's window manager cannot reach; they only keep
    // a broken one from hanging the test.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent, 60000));
    SeenBox seen;
    int siX = -1;
    int noX = -1;
    bool iconsShown = true;
    whenModalBoxAppears(
        seen,
        [&](QMessageBox& box) {
            auto* si = buttonWithText(box, u"Sì"_s);
            auto* no = buttonWithText(box, u"No"_s);
            if (si != nullptr && no != nullptr) {
                siX = si->mapTo(&box, QPoint(0, 0)).x();
                noX = no->mapTo(&box, QPoint(0, 0)).x();
                iconsShown = !si->icon().isNull() || !no->icon().isNull();
            }
            const QString shots = qEnvironmentVariable("ADV_SCREENSHOT_DIR");
            const QString desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
            if (!shots.isEmpty())
                box.grab().save(shots + u"/question-"_s + (desktop.isEmpty() ? u"none"_s : desktop) + u".png"_s);
            box.close();
        },
        60000);
    adv::askYesNoQuestion(&parent, u"Sei sicuro di voler procedere"_s, u"Aggiornamento software"_s);
    ASSERT_TRUE(seen.appeared);
    EXPECT_LT(siX, noX) << "Yes is the first button, No the second";
    EXPECT_FALSE(iconsShown);
}

TEST(ItalianQtTexts, LoadedWhateverTheEnvironmentSays)
{
    // The test runs under LANG=C (see CMakeLists.txt): the system locale is
    // not Italian, yet Qt's own texts must be.
    ASSERT_NE(QLocale::system().language(), QLocale::Italian)
        << "the test needs a non-Italian environment to mean anything";
    EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), u"Annulla"_s);
    ASSERT_TRUE(adv::installItalianQtTranslations());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), u"Annulla"_s);
    EXPECT_NE(QCoreApplication::translate("QMessageBox", "Show Details..."), u"Show Details..."_s);
}

}  // namespace
