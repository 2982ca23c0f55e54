#pragma once

#include <QDateTime>

// The time the logs stamp their lines and roll-over names with. Tests substitute a fixed clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime Now() const { return QDateTime::currentDateTime(); }
    // The same moment as whole seconds since the epoch: cheap, no time-zone lookup.
    virtual qint64 SecsSinceEpoch() const { return QDateTime::currentSecsSinceEpoch(); }
};
