#pragma once

#include "core/Clock.h"
#include "core/Failure.h"
#include "core/StatusView.h"

#include <QStringList>

// Records every failure report, one "message|location|code" entry per call.
class RecordingErrors final : public ErrorReporter {
public:
    void LogError(const QString& message, const QString& location, const Failure& failure = {}) override
    {
        Reports.append(message + u'|' + location + u'|' + QString::number(failure.Code));
    }
    QStringList Reports;
};

// Stores what the window would show.
class RecordingView final : public StatusView {
public:
    void SetCaption(const QString& caption) override { Caption = caption; }
    void ShowPortSummary(const QString& text) override { PortSummary = text; }
    void ShowConnectionCount(const QString& text) override { ConnectionCount = text; }
    void ShowClientLines(const QStringList& lines) override { ClientLines = lines; }
    void ShowLastClientMessage(const QString& text) override { LastClientMessage = text; }
    void ShowLastRixMessage(const QString& text) override { LastRixMessage = text; }

    QString Caption, PortSummary, ConnectionCount, LastClientMessage, LastRixMessage;
    QStringList ClientLines;
};

// A clock that says what the test tells it.
class TestClock final : public Clock {
public:
    QDateTime Now() const override { return Moment; }
    QDateTime Moment = QDateTime(QDate(2026, 12, 5), QTime(21, 41, 44));
};
