#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// The bytes sent on the wire for a text: its UTF-16 little-endian bytes through the zero-byte rule.
// For the login text that is one byte per character.
QByteArray MakeRixString(const QString& text);

// True when bDecode matches the login confirmation at positions 1 to its end (position 0 and the
// length are the caller's checks). Shorter data answers false.
bool CompareLoginString(const QByteArray& loginString, QByteArrayView bDecode);
