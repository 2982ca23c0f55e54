#include "net/LoginString.h"

#include "net/ZeroByteRule.h"

QByteArray MakeRixString(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size() * 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    bytes.resize(ApplyZeroByteRule(bytes.data(), bytes.size()));
    return bytes;
}

bool CompareLoginString(const QByteArray& loginString, QByteArrayView bDecode)
{
    if (bDecode.size() < loginString.size())
        return false;
    for (qsizetype i = 1; i < loginString.size(); ++i) {
        if (loginString[i] != bDecode[i])
            return false;
    }
    return true;
}

void LoginFilter::Begin(int slot)
{
    if (m_fresh.size() <= size_t(slot))
        m_fresh.resize(size_t(slot) + 1);
    m_fresh[size_t(slot)] = true;
    m_held.remove(slot);
}

std::span<char> LoginFilter::Take(int slot, std::span<char> read, qint64 nowMs, QByteArray& joined)
{
    std::span<char> burst = read;
    if (const auto held = m_held.constFind(slot); held != m_held.cend()) {
        joined = held->Bytes;
        joined.append(read.data(), qsizetype(read.size()));
        burst = std::span<char>(joined.data(), size_t(joined.size()));
        m_held.erase(held);
    }
    const QByteArrayView bytes(burst.data(), qsizetype(burst.size()));
    const qsizetype length = m_login.size();
    if (!bytes.isEmpty() && bytes.size() < length && QByteArrayView(m_login).startsWith(bytes)) {
        m_held.insert(slot, Held{bytes.toByteArray(), nowMs});
        return {};
    }
    const bool fresh = size_t(slot) < m_fresh.size() && m_fresh[size_t(slot)];
    if (fresh)
        m_fresh[size_t(slot)] = false;
    if (bytes.size() == length && length > 0 && bytes[0] == m_login[0] && CompareLoginString(m_login, bytes))
        return {};
    // On a fresh connection the confirmation may come in one burst with the answer to client bytes
    // that waited for the connection.
    if (fresh && bytes.size() > length && bytes.startsWith(m_login))
        return burst.subspan(size_t(length));
    return burst;
}

QByteArray LoginFilter::TakeHeld(int slot)
{
    const auto held = m_held.constFind(slot);
    if (held == m_held.cend())
        return {};
    // Relayed as they are, the held bytes were a burst of the connection: what follows is not its first.
    if (size_t(slot) < m_fresh.size())
        m_fresh[size_t(slot)] = false;
    QByteArray bytes = held->Bytes;
    m_held.erase(held);
    return bytes;
}

std::vector<int> LoginFilter::ExpiredSlots(qint64 nowMs) const
{
    std::vector<int> expired;
    for (auto held = m_held.cbegin(); held != m_held.cend(); ++held) {
        if (nowMs - held->Since >= HoldMs)
            expired.push_back(held.key());
    }
    return expired;
}

qint64 LoginFilter::NextExpiry() const
{
    qint64 next = -1;
    for (const Held& held : m_held) {
        if (next < 0 || held.Since + HoldMs < next)
            next = held.Since + HoldMs;
    }
    return next;
}
