#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>

// A moment as the window shows it: local "HH:mm:ss", with the date in front when it is not today.
QString ShownTime(const QDateTime& moment, const QDate& today = QDate::currentDate());
