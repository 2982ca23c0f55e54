#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QString>

#include <span>
#include <vector>

// The bytes sent on the wire for a text: its UTF-16 little-endian bytes through the zero-byte rule.
// For the login text that is one byte per character.
QByteArray MakeRixString(const QString& text);

// True when bDecode matches the login confirmation at positions 1 to its end (position 0 and the
// length are the caller's checks). Shorter data answers false.
bool CompareLoginString(const QByteArray& loginString, QByteArrayView bDecode);

// Drops the RIX's own login confirmation, per slot, however the reads split it: the client already
// has ours. A read that begins a proper prefix of the confirmation is held back until the next read
// of the slot, and the two are then judged as one burst; a burst equal to the confirmation is
// dropped, and the first burst of a fresh connection loses a leading confirmation. Held bytes that
// nothing follows for HoldMs are handed back to be relayed as they are. Times are milliseconds from
// any fixed start.
class LoginFilter {
public:
    explicit LoginFilter(const QByteArray& loginString)
        : m_login(loginString)
    {
    }

    static constexpr qint64 HoldMs = 300;

    // A new RIX connection on the slot. Whatever is still held is forgotten: take it first.
    void Begin(int slot);
    // Held bytes are dropped unrelayed: the slot's client is not the one they were meant for.
    void Forget(int slot) { m_held.remove(slot); }
    // One read of the slot's RIX connection. Answers the bytes to relay now, in place in the read or,
    // when held bytes come first, in joined; empty when nothing is to be relayed.
    std::span<char> Take(int slot, std::span<char> read, qint64 nowMs, QByteArray& joined);
    // The slot's held bytes, no longer held, to be relayed as they are (empty when none).
    QByteArray TakeHeld(int slot);

    bool Holding() const { return !m_held.isEmpty(); }
    // The slots whose held bytes have waited HoldMs by then.
    std::vector<int> ExpiredSlots(qint64 nowMs) const;
    // When the next hold runs out; -1 when nothing is held.
    qint64 NextExpiry() const;

private:
    struct Held {
        QByteArray Bytes;
        qint64 Since = 0;
    };

    const QByteArray& m_login;
    // Per slot: its RIX connection has completed and no burst of it has been relayed or dropped yet.
    std::vector<bool> m_fresh;
    QHash<int, Held> m_held;
};
