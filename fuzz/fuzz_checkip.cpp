// CheckIPAddress: accepted exactly when there are three dots and text after the third; the result is
// always a dotted quad whose fields are the clamped numbers of the text's fields.
#include "FuzzSupport.h"
#include "core/CheckIPAddress.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text
        = QString::fromLatin1(reinterpret_cast<const char*>(data), qsizetype(std::min<size_t>(size, 512)));
    const QStringList parts = text.split(u'.');
    // Three dots at least, and something after the third.
    const bool shapeOk = parts.size() >= 4 && !parts.mid(3).join(u'.').isEmpty();
    QString checked = QStringLiteral("untouched");
    try {
        const bool accepted = CheckIPAddress(text, checked);
        FUZZ_CHECK(accepted == shapeOk);
        if (!accepted) {
            FUZZ_CHECK(checked == QStringLiteral("untouched"));
            return 0;
        }
        const QStringList fields = checked.split(u'.');
        FUZZ_CHECK(fields.size() == 4);
        const QString source[4] = {parts[0], parts[1], parts[2], parts.mid(3).join(u'.')};
        for (int i = 0; i < 4; ++i) {
            bool ok = false;
            const int value = fields[i].toInt(&ok);
            FUZZ_CHECK(ok && value >= 0 && value <= 255 && fields[i] == QString::number(value));
            FUZZ_CHECK(value == qBound(0, NumberFromText(source[i]), 255));
        }
    } catch (const Failure&) {
        // A field too large for 32 bits: the dialog reports it.
    }
    return 0;
}
