#include "app/window/YesNoQuestion.h"

#include <QDialogButtonBox>
#include <QIcon>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// The desktop decides the order of a dialog's buttons (GNOME puts No
// first) and whether they carry icons; this question has one look
// everywhere, the one it was designed with: "Sì | No", no icons.
class DesignedButtonRow final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override
    {
        if (hint == SH_DialogButtonLayout)
            return QDialogButtonBox::WinLayout;
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returned);
    }
};

}  // namespace

bool askYesNoQuestion(QWidget* parent, const QString& prompt, const QString& title)
{
    // Built by hand: QMessageBox::question() always adds the question icon,
    // and the standard buttons' texts would follow whatever translation is
    // loaded; the question must read the same on every machine.
    DesignedButtonRow style;  // outlives the box, which uses it to the end
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::NoButton, parent);
    box.setObjectName(u"askYesNo"_s);
    box.setTextFormat(Qt::PlainText);
    if (auto* buttons = box.findChild<QDialogButtonBox*>())
        buttons->setStyle(&style);
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    QPushButton* no = box.addButton(QMessageBox::No);
    for (QPushButton* button : {yes, no})
        button->setIcon(QIcon());
    yes->setText(u"Sì"_s);
    no->setText(u"No"_s);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

}  // namespace adv
