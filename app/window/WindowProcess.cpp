#include "app/window/WindowProcess.h"

#include <QCoreApplication>
#include <QFont>
#include <QStringList>
#include <QTranslator>

#include "app/window/AggiornaDolvo.h"
#include "resources/Resources.h"

using namespace Qt::StringLiterals;

namespace adv {

bool installItalianQtTranslations()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr)
        return false;
    // An explicit locale: LANG may say anything, the window is Italian.
    auto* translator = new QTranslator(app);
    if (!translator->load(resources::qtItalianTexts())) {
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
    add(AggiornaDolvo::kSansSerifFace, {u"Liberation Sans"_s, u"Arimo"_s, u"Arial"_s, u"DejaVu Sans"_s});
    add(AggiornaDolvo::kRoundedFace,
        {AggiornaDolvo::kRoundedStandIn, u"Arial"_s, u"Liberation Sans"_s, u"DejaVu Sans"_s});
}

void prepareWindowProcess()
{
    installItalianQtTranslations();
    installFontSubstitutes();
}

}  // namespace adv
