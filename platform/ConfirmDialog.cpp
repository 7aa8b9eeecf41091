#include "platform/ConfirmDialog.h"

#include <QMessageBox>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace adv::platform {

bool askYesNo(QWidget* parent, const QString& prompt, const QString& title)
{
    // Built by hand: QMessageBox::question() always adds the question icon,
    // and the standard buttons' texts would follow whatever translation is
    // loaded; the question must read the same on every machine.
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::NoButton, parent);
    box.setObjectName(u"askYesNo"_s);
    box.setTextFormat(Qt::PlainText);
    QPushButton* yes = box.addButton(QMessageBox::Yes);
    QPushButton* no = box.addButton(QMessageBox::No);
    yes->setText(u"Sì"_s);
    no->setText(u"No"_s);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

}  // namespace adv::platform
