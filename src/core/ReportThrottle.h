#pragma once

#include "core/Failure.h"
#include "core/Throttle.h"

#include <QHash>
#include <QString>

// Reports that peers can cause as often as they like (a read that fails, bytes a leaving peer never
// took, clients turned away): each kind is written at most once per period. Those left out in between
// are counted, with the bytes they concern, and written as one line when the period is over, so that
// no peer can flood the error log and nothing goes unseen.
class ReportThrottle {
public:
    static constexpr qint64 DefaultPeriodMs = 60000;

    ReportThrottle(ErrorReporter& errors, const Clock& clock, qint64 periodMs = DefaultPeriodMs);

    // Writes the report now, or counts it when one of its kind was written less than a period ago.
    // kind names the kind of report; bytes is what it says was lost, if anything.
    void Report(const QString& kind, const ReportText& text, const Failure& failure, qint64 bytes = 0);
    // Writes, for each kind whose period is over, the line for the reports left out. Called once a
    // second, and at shutdown for every kind, whatever its period.
    void Flush(bool atShutdown = false);

private:
    // The last report left out of a kind: it stands for them all in the line that counts them.
    struct Last {
        ReportText Text;
        Failure Told;
    };

    ErrorReporter& m_errors;
    Throttle<QString> m_throttle;
    QHash<QString, Last> m_leftOut; // only kinds with reports left out: Flush has nothing to do while empty
};
