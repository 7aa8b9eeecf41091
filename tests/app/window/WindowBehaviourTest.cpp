// What the window does: the start-up sweep through its boxes, USCITA and the
// close box, the update command's pointer, busy label, progress and log.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <QTextDocument>
#include <QWindow>

#include "app/window/FlatColourButton.h"
#include "app/channel/Minisign.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;
using adv::Pointer;
using adv::test::SeenBox;
using adv::test::whenModalBoxAppears;
using adv::test::WindowStage;

namespace {

using Names = std::vector<std::string>;

// The window's load runs the sweep through its own boxes, before it is shown.
// Which products tick which boxes and close which programs is the sweep's
// table (StartupSweepTest); this is its wiring.
TEST(WindowSweep, LoadTicksTheBoxesAndClosesTheirProgramsBeforeShowing)
{
    WindowStage stage;
    stage.installFile(u"trevanto/trevanto.exe"_s);
    stage.terminator.stillOpen = "Notepad.exe";
    auto window = stage.window();
    EXPECT_FALSE(window->findChild<QCheckBox*>(u"tv"_s)->isChecked()) << "clear before the sweep";
    SeenBox seen;
    whenModalBoxAppears(seen, [](QMessageBox& box) { box.button(QMessageBox::Yes)->click(); });

    window->load();
    EXPECT_EQ(seen.text, u"Il programma Notepad.exe è ancora aperto e potrebbe chiedere di salvare il lavoro. "
                         u"Chiuderlo senza salvare?"_s);
    EXPECT_EQ(seen.defaultButton, u"No"_s);
    EXPECT_EQ(stage.terminator.mayForceAnswers, std::vector<bool>{true}) << "the operator's answer, for the sweep";
    for (const QString& name : {u"dv"_s, u"tv"_s, u"kv"_s, u"kvw"_s, u"dvp"_s, u"tvw"_s})
        EXPECT_EQ(window->findChild<QCheckBox*>(name)->isChecked(), name == u"tv"_s) << name.toStdString();
    EXPECT_EQ(stage.terminator.names, (Names{"trevanto.exe", "lettovi.exe", "lettovi2.exe", "Vudarav.exe"}));
    EXPECT_FALSE(window->isVisible()) << "the sweep runs before the window is shown";
}

TEST(WindowSweep, ProductBoxesAreTheTableOnes)
{
    WindowStage stage;
    auto window = stage.window();
    const adv::ProductCheckBoxes boxes = window->productCheckBoxes();
    const QStringList order{u"dv"_s, u"tv"_s, u"kv"_s, u"kvw"_s};
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        auto* box = window->findChild<QCheckBox*>(order[static_cast<qsizetype>(i)]);
        boxes[i]->setValue(1);
        EXPECT_TRUE(box->isChecked());
        EXPECT_EQ(boxes[i]->value(), 1);
        box->setChecked(false);
        EXPECT_EQ(boxes[i]->value(), 0);
    }
}

TEST(WindowSweep, OperatorTickingTheOtherBoxesChangesNothing)
{
    WindowStage stage;
    auto window = stage.window();
    window->load();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const auto closedBefore = stage.terminator.names;
    for (const QString& name : {u"dvp"_s, u"tvw"_s}) {
        auto* box = window->findChild<QCheckBox*>(name);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        EXPECT_TRUE(box->isChecked()) << name.toStdString() << " is tickable";
    }
    EXPECT_EQ(stage.terminator.names, closedBefore);
    EXPECT_TRUE(window->statusText().isEmpty());
    EXPECT_TRUE(stage.ftp.calls.empty());
    EXPECT_TRUE(window->isVisible());
}

// Runs the event loop until the window closes it; false if it did not
// within the time limit.
bool execUntilQuit(int limitMs)
{
    bool timedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    watchdog.start(limitMs);
    QApplication::exec();
    return !timedOut;
}

struct EndCase {
    const char* label;
    std::function<void(adv::AggiornaDolvo&)> end;
};

void PrintTo(const EndCase& c, std::ostream* os)
{
    *os << c.label;
}

const EndCase kEnds[] = {
    {"UscitaClicked",
     [](adv::AggiornaDolvo& w) {
         QTest::mouseClick(w.findChild<adv::FlatColourButton*>(u"Command2"_s), Qt::LeftButton);
     }},
    {"UscitaBySpaceKey",
     [](adv::AggiornaDolvo& w) {
         auto* uscita = w.findChild<adv::FlatColourButton*>(u"Command2"_s);
         uscita->setFocus();
         QTest::keyClick(uscita, Qt::Key_Space);
     }},
    {"CloseBox", [](adv::AggiornaDolvo& w) { w.windowHandle()->close(); }},
};

class ProgramEnd : public ::testing::TestWithParam<EndCase> {};

TEST_P(ProgramEnd, EndsTheProgramAtOnceWithoutAQuestion)
{
    WindowStage stage;
    auto window = stage.window();
    window->load();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    ASSERT_TRUE(QGuiApplication::quitOnLastWindowClosed());

    bool modalSeen = false;
    QTimer::singleShot(0, window.get(), [&] { GetParam().end(*window); });
    QTimer modalWatch;
    QObject::connect(&modalWatch, &QTimer::timeout, [&] {
        if (QApplication::activeModalWidget() != nullptr) {
            modalSeen = true;
            QApplication::activeModalWidget()->close();
        }
    });
    modalWatch.start(5);
    EXPECT_TRUE(execUntilQuit(5000)) << "the event loop did not end";
    EXPECT_FALSE(modalSeen) << "no question is asked";
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(stage.ftp.calls.empty());
}

INSTANTIATE_TEST_SUITE_P(Ways, ProgramEnd, ::testing::ValuesIn(kEnds),
                         [](const auto& row) { return std::string(row.param.label); });

// The pointer is the window's, over every control on it, and never the whole
// application's: the question the command asks keeps its own arrow.
TEST(Pointer, HourglassOverTheWindowThenArrow)
{
    WindowStage stage;
    auto window = stage.window();
    auto* log = window->findChild<QPlainTextEdit*>(u"txtStatus"_s);
    const Qt::CursorShape logShape = log->viewport()->cursor().shape();
    EXPECT_EQ(window->pointer(), Pointer::Arrow);

    for (int twice = 0; twice < 2; ++twice) {
        window->setPointer(Pointer::Hourglass);
        EXPECT_EQ(window->pointer(), Pointer::Hourglass);
        EXPECT_EQ(window->cursor().shape(), Qt::WaitCursor);
        EXPECT_EQ(log->viewport()->cursor().shape(), Qt::WaitCursor) << "over the log's text too";
        EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "not the whole application's";
    }
    for (int twice = 0; twice < 2; ++twice) {  // the command sets the arrow twice on success
        window->setPointer(Pointer::Arrow);
        EXPECT_EQ(window->pointer(), Pointer::Arrow);
        EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);
        EXPECT_EQ(log->viewport()->cursor().shape(), logShape) << "the log's own pointer is back";
    }
}

TEST(BusyLabel, ShownAtOnceAndStays)
{
    WindowStage stage;
    auto window = stage.window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto* busy = window->findChild<QLabel*>(u"Label4"_s);
    EXPECT_FALSE(busy->isVisible());
    window->showBusyLabel();
    EXPECT_TRUE(busy->isVisible());
    window->AppendStatus(u"x"_s);
    window->setPointer(Pointer::Arrow);
    QCoreApplication::processEvents();
    EXPECT_TRUE(busy->isVisible());
}

TEST(DownloadProgress, AppearsUnderTheBusyLabelAndGoesAway)
{
    struct Step {
        std::int64_t received;
        std::int64_t total;
        bool visible;
        int minimum, maximum, value;  // checked when visible
    };
    const Step steps[] = {
        {0, 3'000'000'000LL, true, 0, 1000, 0},
        {1'500'000'000LL, 3'000'000'000LL, true, 0, 1000, 500},
        {3'000'000'000LL, 3'000'000'000LL, true, 0, 1000, 1000},
        {4096, -1, true, 0, 0, -1},  // size unknown: a busy bar
    };
    WindowStage stage;
    auto window = stage.window();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    auto* bar = window->findChild<QProgressBar*>(u"progressDownload"_s);
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isVisible());
    const QRect busy = window->findChild<QLabel*>(u"Label4"_s)->geometry();
    EXPECT_GT(bar->y(), busy.bottom()) << "under the busy label";
    for (const Step& s : steps) {
        window->downloadProgress(s.received, s.total);
        EXPECT_EQ(bar->isVisible(), s.visible) << s.received;
        if (!s.visible)
            continue;
        EXPECT_EQ(bar->minimum(), s.minimum) << s.received;
        EXPECT_EQ(bar->maximum(), s.maximum) << s.received;
        if (s.maximum > 0) {
            EXPECT_EQ(bar->value(), s.value) << s.received;
        }
    }
    window->downloadEnded();
    EXPECT_FALSE(bar->isVisible());
}

// The update command run from the DOWNLOAD button, with the question
// answered by `answer` and an FTP session scripted by the caller.
struct CommandRun {
    WindowStage stage{true};
    std::unique_ptr<adv::AggiornaDolvo> window;
    SeenBox seen;

    explicit CommandRun(std::function<void(QMessageBox&)> answer)
    {
        window = stage.window();
        window->load();
        window->show();
        window->activateWindow();
        whenModalBoxAppears(seen, std::move(answer));
    }
    void clickDownload()
    {
        QTest::mouseClick(window->findChild<adv::FlatColourButton*>(u"Command1"_s), Qt::LeftButton);
    }
};

void answer(QMessageBox& box, const QString& text)
{
    for (QAbstractButton* b : box.buttons())
        if (b->text() == text)
            b->click();
}

// The hourglass is the window's: over the question the operator sees the
// ordinary arrow.
TEST(DownloadButton, TheQuestionKeepsTheArrowWhileTheWindowShowsTheHourglass)
{
    adv::AggiornaDolvo* window = nullptr;
    Qt::CursorShape windowShape = Qt::BlankCursor;
    Qt::CursorShape boxShape = Qt::BlankCursor;
    bool overridden = true;
    CommandRun run([&](QMessageBox& box) {
        windowShape = window->cursor().shape();
        boxShape = box.cursor().shape();
        overridden = QApplication::overrideCursor() != nullptr;
        answer(box, u"No"_s);
    });
    window = run.window.get();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    run.clickDownload();
    ASSERT_TRUE(run.seen.appeared);
    EXPECT_EQ(windowShape, Qt::WaitCursor);
    EXPECT_EQ(boxShape, Qt::ArrowCursor);
    EXPECT_FALSE(overridden) << "no pointer for the whole application";
    EXPECT_EQ(window->cursor().shape(), Qt::ArrowCursor);
}

// The log's lines stay as they were; the cause is the log's tooltip, as text.
TEST(DownloadButton, TheCauseOfAFailureIsTheLogsTooltipInItalian)
{
    CommandRun run([](QMessageBox& box) { answer(box, u"Sì"_s); });
    run.stage.installFile(u"dolvo/dolvo.exe"_s);
    run.stage.ftp.fetchResult = false;
    run.stage.ftp.fetchFailure = adv::platform::FtpFailure::RemoteFile;
    const QByteArray key = QByteArray("Ed") + QByteArray(8, '\1') + QByteArray(32, '\2');
    run.stage.config.publicKey = adv::minisign::parsePublicKey(key.toBase64().toStdString());
    ASSERT_TRUE(run.stage.config.publicKey);
    run.window = run.stage.window();
    run.window->show();
    run.clickDownload();
    EXPECT_TRUE(run.window->statusText().endsWith(
        u"\r\n- Il server non offre la firma del programma: aggiornamento annullato"_s))
        << run.window->statusText().toStdString();
    // Only the Italian: what the server or the system says is the log file's.
    QTextDocument shown;
    shown.setHtml(run.window->findChild<QWidget*>(u"txtStatus"_s)->toolTip());
    EXPECT_EQ(shown.toPlainText(),
              u"Causa: il server non offre la firma dolvo.exe.minisig: il file non si trova sul server"_s);
}

TEST(DownloadButton, FailedConnectionIsLoggedWithTheHourglassMeanwhile)
{
    CommandRun run([](QMessageBox& box) { answer(box, u"Sì"_s); });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(run.window.get()));
    run.stage.ftp.openResult = false;
    bool busyShown = false;
    bool hourglass = false;
    bool windowBusy = false;
    QString logMeanwhile;
    run.stage.ftp.onOpen = [&] {
        busyShown = run.window->findChild<QLabel*>(u"Label4"_s)->isVisible();
        hourglass = run.window->cursor().shape() == Qt::WaitCursor;
        windowBusy = run.window->busy();
        logMeanwhile = run.window->statusText();
    };
    run.clickDownload();

    EXPECT_TRUE(run.seen.appeared);
    EXPECT_TRUE(busyShown);
    EXPECT_TRUE(hourglass);
    EXPECT_TRUE(windowBusy);
    EXPECT_EQ(logMeanwhile, u"- Collegamento al sito ZORVANIK"_s);
    EXPECT_EQ(run.window->statusText(), u"- Collegamento al sito ZORVANIK\r\n"
                                        u"- Impossibile connettersi al server ftp.example.test. Riprovare più tardi"_s);
    EXPECT_EQ(run.stage.ftp.calls, (Names{"host:ftp.example.test", "user", "password", "open", "close"}));
    EXPECT_TRUE(run.window->findChild<QLabel*>(u"Label4"_s)->isVisible()) << "stays after the command";
    EXPECT_EQ(run.window->pointer(), Pointer::Arrow);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_FALSE(run.window->busy());
}

TEST(DownloadButton, ProgressShownDuringTheDownloadOnly)
{
    CommandRun run([](QMessageBox& box) { answer(box, u"Sì"_s); });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(run.window.get()));
    run.stage.installFile(u"dolvo/dolvo.exe"_s);
    auto* bar = run.window->findChild<QProgressBar*>(u"progressDownload"_s);
    std::vector<bool> shown;
    int valueMidway = -1;
    run.stage.ftp.onFetch = [&](const adv::platform::FtpProgress& progress) {
        for (std::int64_t received : {0LL, 512LL, 1024LL}) {
            progress(received, 1024);
            shown.push_back(bar->isVisible());
            if (received == 512)
                valueMidway = bar->value();
        }
    };
    run.clickDownload();

    EXPECT_EQ(shown, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(valueMidway, 500);
    EXPECT_FALSE(bar->isVisible()) << "hidden once the download has ended";
    EXPECT_EQ(run.window->statusText(), u"- Collegamento al sito ZORVANIK\r\n- Collegamento riuscito\r\n"
                                        u"- Inizio download programma \r\n- Il programma è stato aggiornato... "_s);
    EXPECT_EQ(run.stage.ftp.calls.back(), "close");
}

TEST(DownloadButton, CloseBoxDuringTheCommandTakesEffectAfterIt)
{
    CommandRun run([](QMessageBox& box) { answer(box, u"Sì"_s); });
    ASSERT_TRUE(QTest::qWaitForWindowExposed(run.window.get()));
    run.stage.ftp.openResult = false;
    bool visibleAfterCloseRequest = false;
    run.stage.ftp.onOpen = [&] {
        run.window->windowHandle()->close();
        QCoreApplication::processEvents();
        visibleAfterCloseRequest = run.window->isVisible();
    };

    QTimer::singleShot(0, run.window.get(), [&] { run.clickDownload(); });
    EXPECT_TRUE(execUntilQuit(10000)) << "the program did not end after the command";
    EXPECT_TRUE(visibleAfterCloseRequest) << "the window stays while the command runs";
    EXPECT_FALSE(run.window->isVisible());
    EXPECT_EQ(run.window->statusText().count(u"\r\n"_s), 1) << "the command ran to its end";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

}  // namespace
