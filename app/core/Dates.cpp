#include "app/core/Dates.h"

#include <QDateTime>
#include <QLocale>

using namespace Qt::StringLiterals;

namespace adv::text {

QString shownDate(std::int64_t secondsSince1970)
{
    const QDateTime at = QDateTime::fromSecsSinceEpoch(secondsSince1970);
    // The first of the month is "1º" in Italian.
    const QString day = at.date().day() == 1 ? u"1º"_s : QString::number(at.date().day());
    return day + QLocale(QLocale::Italian, QLocale::Italy).toString(at, u" MMMM yyyy, HH:mm"_s);
}

QString dateWith(std::int64_t secondsSince1970, const QString& elided, const QString& whole)
{
    // "l'8", "l'11", "dall'8": the numbers that are said with a vowel first.
    const int day = QDateTime::fromSecsSinceEpoch(secondsSince1970).date().day();
    return (day == 8 || day == 11 ? elided : whole) + shownDate(secondsSince1970);
}

QString onDate(std::int64_t secondsSince1970)
{
    return dateWith(secondsSince1970, u"l'"_s, u"il "_s);
}

QString fromDate(std::int64_t secondsSince1970)
{
    return dateWith(secondsSince1970, u"dall'"_s, u"dal "_s);
}

QString untilDate(std::int64_t secondsSince1970)
{
    return dateWith(secondsSince1970, u"all'"_s, u"al "_s);
}

QString shownSpan(std::chrono::seconds span)
{
    const auto total = static_cast<qint64>(span.count());
    const qint64 hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    if (hours > 0)
        return u"%1 h %2 min %3 s"_s.arg(hours).arg(minutes).arg(seconds);
    if (minutes > 0)
        return u"%1 min %2 s"_s.arg(minutes).arg(seconds);
    return u"%1 s"_s.arg(seconds);
}

}  // namespace adv::text
