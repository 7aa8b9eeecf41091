// Qt's own texts on the window, from the translations built into the program.
#include <gtest/gtest.h>

#include <QMenu>
#include <QPlainTextEdit>
#include <QTranslator>

#include "app/window/WindowProcess.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;

TEST(ItalianQtTexts, TheStatusLogsMenuIsItalian)
{
    ASSERT_TRUE(adv::installItalianQtTranslations());
    adv::test::WindowStage stage;
    const auto window = stage.window();
    const std::unique_ptr<QMenu> menu(window->findChild<QPlainTextEdit*>(u"txtStatus"_s)->createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << action->text().section(u'\t', 0, 0);  // without the shortcut
    // Gone again: the other tests see Qt as it starts.
    qDeleteAll(QCoreApplication::instance()->findChildren<QTranslator*>());
    EXPECT_EQ(texts.join(u'|').toStdString(), "&Copia||Seleziona tutto");
}
