#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

// A moment as the window shows it: local "HH:mm:ss", with the date in front when it is not today.
QString ShownTime(const QDateTime& moment, const QDate& today = QDate::currentDate());

// How long from now until a second into the next day, in now's time zone: at least a second, even
// where the day starts late (a clock moved forward at midnight skips 00:00).
qint64 MsToNextDay(const QDateTime& now);
