#pragma once

#include <QString>

// Reads a number from the start of a text, leniently: blanks, tabs and line feeds anywhere are
// ignored; then an optional sign, decimal digits with at most one decimal point, and an optional
// exponent (E or e, optional sign, digits). Reading stops at the first character that does not fit;
// no number gives 0. The value is rounded to the nearest integer, halves to the even neighbour.
// Throws Failure when the rounded value lies outside the 32-bit signed range.
int NumberFromText(const QString& text);
