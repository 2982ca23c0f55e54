#include "core/CheckIPAddress.h"

#include "core/NumberFromText.h"

#include <QStringList>

bool CheckIPAddress(const QString& text, QString& checked)
{
    const qsizetype first = text.indexOf(u'.');
    if (first < 0)
        return false;
    const qsizetype second = text.indexOf(u'.', first + 1);
    if (second < 0)
        return false;
    const qsizetype third = text.indexOf(u'.', second + 1);
    if (third < 0 || third == text.size() - 1)
        return false;

    const QString fields[4] = {text.first(first), text.mid(first + 1, second - first - 1),
                               text.mid(second + 1, third - second - 1), text.mid(third + 1)};
    QStringList values;
    for (const QString& field : fields)
        values.append(QString::number(qBound(0, NumberFromText(field), 255)));
    checked = values.join(u'.');
    return true;
}

bool ParseDottedIPv4(const QString& text, quint32& address)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return false;
    address = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 10);
        if (!ok || part.isEmpty() || part.size() > 3 || value > 255 || !part.front().isDigit())
            return false;
        address = (address << 8) | value;
    }
    return true;
}
