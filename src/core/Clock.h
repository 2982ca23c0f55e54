#pragma once

#include <QDateTime>

#include <chrono>

// The time the logs stamp their lines and roll-over names with, and the steady time they measure
// intervals on. Tests substitute a clock of their own.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime Now() const { return QDateTime::currentDateTime(); }
    // The same moment as whole seconds since the epoch: cheap, no time-zone lookup.
    virtual qint64 SecsSinceEpoch() const { return QDateTime::currentSecsSinceEpoch(); }
    // Milliseconds from an arbitrary start, only ever moving forward: the system time being set back
    // or forward neither stretches nor shortens an interval measured on it.
    virtual qint64 MonotonicMs() const
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    // The system's own clock, for the parts whose owner is not handed one.
    static const Clock& System();
};

inline const Clock& Clock::System()
{
    static const Clock system;
    return system;
}
