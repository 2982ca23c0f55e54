#include "ui/ShownTime.h"

#include <QTimeZone>

QString ShownTime(const QDateTime& moment, const QDate& today)
{
    const QDateTime local = moment.toLocalTime();
    return local.toString(local.date() == today ? QStringLiteral("HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qint64 MsToNextDay(const QDateTime& now)
{
    const QDateTime next = now.date().addDays(1).startOfDay(now.timeZone()).addSecs(1);
    return qMax<qint64>(1000, now.msecsTo(next));
}
