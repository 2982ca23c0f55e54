#pragma once

#include <QString>

// The setup dialog's address check. Four fields separated by dots; the fourth runs to the end of the
// text, further dots included. Each field is read with NumberFromText and held to 0..255, so fields
// are clamped rather than rejected. On true, checked holds the rebuilt dotted text. Fewer than three
// dots, or a text ending in its third dot, is false. A field too large for 32 bits throws Failure.
bool CheckIPAddress(const QString& text, QString& checked);

// The strict form the sockets and the command line take: exactly four decimal parts of 0..255, so
// "1.2.3" or "010.0.0.1" are not read in some looser sense. The address in host byte order.
bool ParseDottedIPv4(const QString& text, quint32& address);
