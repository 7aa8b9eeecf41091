// Qt's own texts on the window, as the program sets it up: the status log's
// menu reads Italian, from the translations built into the program.
#include <gtest/gtest.h>

#include <QMenu>
#include <QPlainTextEdit>
#include <QTranslator>

#include "app/window/WindowProcess.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;

namespace {

TEST(ItalianQtTexts, TheStatusLogsMenuIsItalian)
{
    ASSERT_TRUE(adv::installItalianQtTranslations());
    adv::test::WindowStage stage;
    const auto window = stage.window();
    const std::unique_ptr<QMenu> menu(window->findChild<QPlainTextEdit*>(u"txtStatus"_s)->createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions()) {
        if (!action->isSeparator())
            texts << action->text().section(u'\t', 0, 0);  // without the shortcut
    }
    // The translator goes again: the other tests see Qt as it starts.
    for (QTranslator* translator : QCoreApplication::instance()->findChildren<QTranslator*>())
        delete translator;
    EXPECT_EQ(texts.join(u'|'), u"&Copia|Seleziona tutto"_s);
}

}  // namespace
