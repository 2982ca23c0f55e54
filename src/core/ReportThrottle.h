#pragma once

#include "core/Failure.h"

#include <QHash>
#include <QString>

#include <functional>

// Reports that peers can cause as often as they like (a read that fails, bytes a leaving peer never
// took, clients turned away): each kind is written at most once per period. Those left out in between
// are counted, with the bytes they concern, and written as one line when the period is over, so that
// no peer can flood the error log and nothing goes unseen.
class ReportThrottle {
public:
    // Milliseconds on a clock that never goes back.
    using MonotonicMs = std::function<qint64()>;
    static constexpr qint64 DefaultPeriodMs = 60000;

    explicit ReportThrottle(ErrorReporter& errors, MonotonicMs now = {}, qint64 periodMs = DefaultPeriodMs);

    // Writes the report now, or counts it when one of its kind was written less than a period ago.
    // kind names the kind of report; bytes is what it says was lost, if anything.
    void Report(const QString& kind, const ReportText& text, const Failure& failure, qint64 bytes = 0);
    // Writes, for each kind whose period is over, the line for the reports left out. Called once a
    // second, and at shutdown for every kind, whatever its period.
    void Flush(bool atShutdown = false);

private:
    struct Kind {
        qint64 LastWrittenMs = 0;
        qint64 LeftOut = 0;
        qint64 LeftOutBytes = 0;
        ReportText LastText;
        Failure LastFailure;
    };
    void Write(Kind& kind, const ReportText& text, const Failure& failure, qint64 nowMs);

    ErrorReporter& m_errors;
    MonotonicMs m_now;
    qint64 m_periodMs;
    QHash<QString, Kind> m_kinds;
    qint64 m_leftOutKinds = 0; // kinds with reports left out: Flush has nothing to do while 0
};
