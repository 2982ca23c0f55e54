#pragma once

#include "core/Clock.h"
#include "core/Failure.h"
#include "core/RuntimeState.h"
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
    explicit RecordingView(const RuntimeState* state = nullptr)
        : m_state(state)
    {
    }
    void SetCaption(const QString& caption) override { Caption = caption; }
    void ShowPortSummary(const QString& text) override { PortSummary = text; }
    void ShowListening(bool listening) override { Listening = listening; }
    void ShowConnectionCount(const QString& text) override { ConnectionCount = text; }
    void ClientLinesChanged() override { ClientLines = m_state ? ConnectedClientLines(*m_state) : QStringList(); }
    void ShowLastClientMessage(const QString& text) override { LastClientMessage = text; }
    void ShowLastRixMessage(const QString& text) override { LastRixMessage = text; }

    QString Caption, PortSummary, ConnectionCount, LastClientMessage, LastRixMessage;
    QStringList ClientLines;
    bool Listening = true;

private:
    const RuntimeState* m_state;
};

// The system's clock, which a test can move forward: each step adds to its steady time, so that a
// wait the code measures on it ends at once.
class SteppedClock final : public Clock {
public:
    qint64 MonotonicMs() const override { return Clock::MonotonicMs() + Stepped; }
    void Step(qint64 ms) { Stepped += ms; }
    qint64 Stepped = 0;
};

// A clock that says what the test tells it. The system time (Moment) and the steady time (Monotonic,
// in milliseconds) are set apart, so that a test can set the system time back or forward.
class TestClock final : public Clock {
public:
    QDateTime Now() const override { return Moment; }
    qint64 SecsSinceEpoch() const override { return Moment.toSecsSinceEpoch(); }
    qint64 MonotonicMs() const override { return Monotonic; }
    // Time passing with nobody setting the clock: both move on together.
    void Advance(qint64 secs)
    {
        Moment = Moment.addSecs(secs);
        Monotonic += secs * 1000;
    }
    QDateTime Moment = QDateTime(QDate(2026, 12, 5), QTime(21, 41, 44));
    qint64 Monotonic = 0;
};
