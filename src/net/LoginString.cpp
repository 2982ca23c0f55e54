#include "net/LoginString.h"

#include "net/Sending.h"

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
