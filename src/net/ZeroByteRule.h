#pragma once

#include <QtGlobal>

// The zero-byte rule for data from the RIX: every 0 byte is removed, except a 0 at position 1
// after a first byte of 24 or 25. Works in place; returns the new length (never longer).
qsizetype ApplyZeroByteRule(char* data, qsizetype size);
