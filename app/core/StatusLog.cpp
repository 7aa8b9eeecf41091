#include "app/core/StatusLog.h"

#include <QList>

using namespace Qt::StringLiterals;

namespace adv {

QString statusLine(const QString& message)
{
    return u"- "_s + message;
}

QString appendedStatus(const QString& text, const QString& message)
{
    if (text.isEmpty())
        return statusLine(message);
    return text + kStatusLineBreak + statusLine(message);
}

QString printable(const QString& text, bool keepNewlines)
{
    QString shown;
    shown.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        const bool hidden = category == QChar::Other_Control || category == QChar::Other_Format ||
                            category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
        if (hidden && !(keepNewlines && c == U'\n'))
            shown += u"\\u%1"_s.arg(static_cast<uint>(c), 4, 16, QChar(u'0'));
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

}  // namespace adv
