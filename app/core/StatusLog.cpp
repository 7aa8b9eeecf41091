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

}  // namespace adv
