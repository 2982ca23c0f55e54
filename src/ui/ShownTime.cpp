#include "ui/ShownTime.h"

QString ShownTime(const QDateTime& moment, const QDate& today)
{
    const QDateTime local = moment.toLocalTime();
    return local.toString(local.date() == today ? QStringLiteral("HH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}
