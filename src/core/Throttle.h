#pragma once

#include "core/Clock.h"

#include <QHash>

#include <limits>
#include <optional>
#include <utility>

// "Write this at most once per period", for each kind of line apart: may one of this kind be written
// now, and if not, what was left out since the last one written, for a later line to say. Periods
// run on the clock's steady time, so setting the system time neither ends nor stretches one.
// At most maxKinds kinds are remembered. When that many are, those whose period is over with
// nothing left out are forgotten to make room; a new kind that still finds none is not written.
template <typename Kind> class Throttle {
public:
    struct LeftOut {
        qint64 Count = 0;
        qint64 Bytes = 0; // what those left out said was lost, all together
    };

    Throttle(const Clock& clock, qint64 periodMs, qsizetype maxKinds = std::numeric_limits<qsizetype>::max())
        : m_clock(clock)
        , m_periodMs(periodMs)
        , m_maxKinds(maxKinds)
    {
    }

    // None of this kind has been written yet, or the last one was a period ago or longer.
    bool Due(const Kind& kind) const
    {
        const auto found = m_kinds.constFind(kind);
        return found == m_kinds.cend() || IsDue(*found, m_clock.MonotonicMs());
    }
    // True when one of this kind may be written now (it is Due and there is room to remember it):
    // its period starts. What was left out of it before is kept for Written.
    bool Take(const Kind& kind)
    {
        if (!Due(kind))
            return false;
        Entry* entry = Find(kind);
        if (entry)
            entry->WrittenMs = m_clock.MonotonicMs();
        return entry != nullptr;
    }
    // One of this kind that is not written: counted, with the bytes it says were lost.
    void LeaveOut(const Kind& kind, qint64 bytes = 0)
    {
        if (Entry* entry = Find(kind)) {
            ++entry->Left.Count;
            entry->Left.Bytes += bytes;
        }
    }
    // One of this kind is written now, saying what was left out since the last one: its period
    // starts, and the count of those left out starts again from nothing.
    LeftOut Written(const Kind& kind)
    {
        Entry* entry = Find(kind);
        if (!entry)
            return {};
        entry->WrittenMs = m_clock.MonotonicMs();
        return std::exchange(entry->Left, LeftOut());
    }

private:
    struct Entry {
        std::optional<qint64> WrittenMs;
        LeftOut Left;
    };

    bool IsDue(const Entry& entry, qint64 nowMs) const
    {
        return !entry.WrittenMs || nowMs - *entry.WrittenMs >= m_periodMs;
    }
    // The kind's entry, made when there is room; nullptr when there is none.
    Entry* Find(const Kind& kind)
    {
        const auto found = m_kinds.find(kind);
        if (found != m_kinds.end())
            return &*found;
        if (m_kinds.size() >= m_maxKinds) {
            const qint64 now = m_clock.MonotonicMs();
            m_kinds.removeIf([&](auto entry) { return entry.value().Left.Count == 0 && IsDue(entry.value(), now); });
            if (m_kinds.size() >= m_maxKinds)
                return nullptr;
        }
        return &m_kinds[kind];
    }

    const Clock& m_clock;
    const qint64 m_periodMs;
    const qsizetype m_maxKinds;
    QHash<Kind, Entry> m_kinds;
};
