#include "app/core/StatusLog.h"

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
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        const bool hidden = category == QChar::Other_Control || category == QChar::Other_Format ||
                            category == QChar::Separator_Line || category == QChar::Separator_Paragraph;
        if (hidden && !(keepNewlines && c == u'\n'))
            shown += u"\\u%1"_s.arg(c.unicode(), 4, 16, QChar(u'0'));
        else
            shown += c;
    }
    return shown;
}

}  // namespace adv
