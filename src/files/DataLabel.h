#pragma once

#include "core/RelayEvents.h"

#include <QByteArrayView>
#include <QString>

class StatusView;

// How a burst shows in the window's two last-message labels. The data log keeps its own rendering
// (FormatDataBytes: the bytes as received, control bytes made visible); a label must show every
// byte on one line, as the operator's code page shows it.
namespace DataLabel {

// A label shows at most this many bytes of a burst, then an ellipsis: rendering a whole
// multi-megabyte burst into a label would cost more than relaying it. The data log gets every byte.
inline constexpr qsizetype LabelBytes = 300;

// The source, ": ", then the first LabelBytes bytes of data, and "…" when the burst was longer.
// Each byte shows as:
// - 32 to 126 itself, 128 to 255 its Windows-1252 character;
// - a control byte, CR and LF included, "^" and a character: ^@, ^A, ..., ^J, ^M, ..., ^_, and ^? for 127;
// - a byte whose character Qt's text layout would not draw as itself (the five Windows-1252 leaves
//   undefined: 0x81, 0x8D, 0x8F, 0x90, 0x9D; the soft hyphen 0xAD) "M-" and the form of the byte
//   less 128: 0x81 is M-^A, 0xAD is M--.
QString LabelText(QByteArrayView data, const QString& source);

// The Windows-1252 character of a byte from 0x80 to 0x9F, for builds whose Qt has no converter for
// it. An undefined byte gives the control character of the same number, as the converter does.
char16_t Windows1252Character(quint8 byte);

} // namespace DataLabel

// The window's two last-message labels, fed by the relay's bursts. A view that shows no messages (a
// service's) costs no label text.
class LastMessageLabels final : public RelayEvents {
public:
    explicit LastMessageLabels(StatusView& view)
        : m_view(view)
    {
    }
    void BurstRelayed(From from, int slot, QByteArrayView data, const QString& source) override;

private:
    StatusView& m_view;
};
