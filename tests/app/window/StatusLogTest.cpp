// The status log: the text rule on its own, and the window's log box.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include "app/core/StatusLog.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;
using adv::test::WindowStage;

namespace {

struct LogCase {
    const char* label;
    QStringList messages;
    QString expected;
};

void PrintTo(const LogCase& c, std::ostream* os)
{
    *os << c.label;
}

const LogCase kCases[] = {
    {"FirstLineHasNoLeadingBreak", {u"Collegamento al sito ZORVANIK"_s}, u"- Collegamento al sito ZORVANIK"_s},
    {"LinesJoinedByCrLf",
     {u"Collegamento al sito ZORVANIK"_s, u"Collegamento riuscito"_s},
     u"- Collegamento al sito ZORVANIK\r\n- Collegamento riuscito"_s},
    {"TrailingSpacesKept", {u"Inizio download programma "_s}, u"- Inizio download programma "_s},
    {"TrailingSpacesKeptMidLog",
     {u"Programma Dolvo non è stato installato... "_s, u"x"_s},
     u"- Programma Dolvo non è stato installato... \r\n- x"_s},
    {"EmptyMessageAddsDash", {QString()}, u"- "_s},
    {"EmptyMessagesEachAddALine", {QString(), QString(), u"a"_s}, u"- \r\n- \r\n- a"_s},
    {"AccentsAndQuotesUnchanged",
     {u"La Directory 'download' non esiste sul server "_s, u"Il programma è stato aggiornato... "_s},
     u"- La Directory 'download' non esiste sul server \r\n- Il programma è stato aggiornato... "_s},
    {"LeadingSpacesKept", {u"  rientro"_s}, u"-   rientro"_s},
    {"NoBreakSpaceKept", {u"a\u00A0b"_s}, u"- a\u00A0b"_s},
};

class StatusRule : public ::testing::TestWithParam<LogCase> {};

TEST_P(StatusRule, AppendsAsTheLogDoes)
{
    QString text;
    for (const QString& m : GetParam().messages)
        text = adv::appendedStatus(text, m);
    EXPECT_EQ(text, GetParam().expected);
}

class WindowLog : public ::testing::TestWithParam<LogCase> {};

TEST_P(WindowLog, ShowsTheSameText)
{
    WindowStage stage;
    auto window = stage.window();
    auto* box = window->findChild<QPlainTextEdit*>(u"txtStatus"_s);
    ASSERT_NE(box, nullptr);
    for (const QString& m : GetParam().messages) {
        window->AppendStatus(m);
        const QTextCursor caret = box->textCursor();
        EXPECT_TRUE(caret.atEnd()) << "caret after the last character";
        EXPECT_FALSE(caret.hasSelection());
    }
    EXPECT_EQ(window->statusText(), GetParam().expected);
    EXPECT_EQ(box->textCursor().position(), box->document()->characterCount() - 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusRule, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.label); });
INSTANTIATE_TEST_SUITE_P(Cases, WindowLog, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.label); });

TEST(StatusRule, ALineIsTheMessageAfterADash)
{
    EXPECT_EQ(adv::statusLine(u"x "_s), u"- x "_s);
}

TEST(WindowLog, NewestLineInViewFromItsStart)
{
    WindowStage stage;
    auto window = stage.window();
    auto* box = window->findChild<QPlainTextEdit*>(u"txtStatus"_s);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));

    for (int i = 0; i < 80; ++i)
        window->AppendStatus(u"riga %1"_s.arg(i));
    // A line far wider than the box: the view shows its start; the caret is at its end.
    window->AppendStatus(QString(300, u'x') + u" fine"_s);
    QCoreApplication::processEvents();

    QScrollBar* down = box->verticalScrollBar();
    QScrollBar* across = box->horizontalScrollBar();
    EXPECT_GT(down->maximum(), 0);
    EXPECT_EQ(down->value(), down->maximum()) << "scrolled to the newest line";
    EXPECT_GT(across->maximum(), 0) << "long lines scroll sideways, unwrapped";
    EXPECT_EQ(across->value(), across->minimum()) << "the newest line reads from its first character";
    EXPECT_TRUE(box->textCursor().atEnd());
    EXPECT_EQ(box->blockCount(), 81);
}

// Counts the paints of one widget.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

TEST(WindowLog, RepaintsBeforeReturning)
{
    WindowStage stage;
    auto window = stage.window();
    auto* box = window->findChild<QPlainTextEdit*>(u"txtStatus"_s);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QCoreApplication::processEvents();

    PaintCounter counter;
    box->viewport()->installEventFilter(&counter);
    window->AppendStatus(u"Collegamento al sito ZORVANIK"_s);
    box->viewport()->removeEventFilter(&counter);
    EXPECT_GE(counter.paints, 1) << "painted inside AppendStatus, not later from the event loop";
}

}  // namespace
