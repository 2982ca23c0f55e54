#include "files/DataLabel.h"

#include "core/StatusView.h"

#include <QStringDecoder>

#include <algorithm>
#include <array>

namespace DataLabel {

namespace {

// The longest form a byte takes: "M-^A".
constexpr qsizetype MaxCharactersPerByte = 4;

constexpr char16_t Windows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Qt's layout gives these a meaning instead of a glyph: U+009C separates alternative texts (only the
// part after it was shown), other controls and format characters vanish or draw as boxes, a soft
// hyphen shows only at a line break, separators break the line.
bool DrawnAsItself(char16_t character)
{
    switch (QChar::category(char32_t(character))) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        return character != QChar::ReplacementCharacter;
    }
}

QString CaretForm(quint8 byte)
{
    if (byte >= 0x80)
        return QStringLiteral("M-") + CaretForm(quint8(byte - 0x80));
    if (byte < 32 || byte == 127)
        return QStringLiteral("^") + QChar(byte ^ 0x40);
    return QString(QChar(byte));
}

std::array<QString, 256> BuildTable()
{
    QStringDecoder windows1252("windows-1252");
    std::array<QString, 256> table;
    for (int byte = 0; byte < 256; ++byte) {
        char16_t character = char16_t(byte);
        if (byte >= 0x80 && windows1252.isValid()) {
            const char raw = char(byte);
            const QString decoded = windows1252.decode(QByteArrayView(&raw, 1));
            character = decoded.size() == 1 ? decoded[0].unicode() : char16_t(QChar::ReplacementCharacter);
        } else if (byte >= 0x80 && byte < 0xA0) {
            character = Windows1252Character(quint8(byte));
        }
        table[size_t(byte)] = DrawnAsItself(character) ? QString(QChar(character)) : CaretForm(quint8(byte));
    }
    return table;
}

const std::array<QString, 256>& Table()
{
    static const std::array<QString, 256> table = BuildTable();
    return table;
}

} // namespace

char16_t Windows1252Character(quint8 byte)
{
    return byte >= 0x80 && byte < 0xA0 ? Windows1252High[byte - 0x80] : char16_t(byte);
}

QString LabelText(QByteArrayView data, const QString& source)
{
    // Written in place: this runs for every relayed burst, however few of them are ever shown.
    const std::array<QString, 256>& table = Table();
    const QByteArrayView shown = data.first(qMin(data.size(), LabelBytes));
    QString text(source.size() + 2 + shown.size() * MaxCharactersPerByte + 1, Qt::Uninitialized);
    QChar* out = text.data();
    out = std::copy(source.cbegin(), source.cend(), out);
    *out++ = u':';
    *out++ = u' ';
    for (char byte : shown) {
        const auto value = quint8(byte);
        if (value >= 32 && value < 127) {
            *out++ = QChar(value);
        } else {
            const QString& form = table[value];
            out = std::copy(form.cbegin(), form.cend(), out);
        }
    }
    if (data.size() > LabelBytes)
        *out++ = QChar(0x2026);
    text.truncate(out - text.constData());
    return text;
}

} // namespace DataLabel

void LastMessageLabels::BurstRelayed(From from, int, QByteArrayView data, const QString& source)
{
    if (!m_view.ShowsMessages())
        return;
    const QString text = DataLabel::LabelText(data, source);
    if (from == From::Client)
        m_view.ShowLastClientMessage(text);
    else
        m_view.ShowLastRixMessage(text);
}
