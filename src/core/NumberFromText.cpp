#include "core/NumberFromText.h"

#include "core/Failure.h"

#include <string>

namespace {

bool IsIgnored(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

bool IsDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

[[noreturn]] void ThrowOverflow()
{
    throw Failure{FailureCode::Overflow, QStringLiteral("Overflow")};
}

} // namespace

int NumberFromText(const QString& text)
{
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        if (!IsIgnored(c))
            compact.append(c);
    }

    qsizetype pos = 0;
    const qsizetype end = compact.size();
    bool negative = false;
    if (pos < end && (compact[pos] == u'+' || compact[pos] == u'-')) {
        negative = compact[pos] == u'-';
        ++pos;
    }

    // The mantissa's significant digits, and where its decimal point stands among them.
    std::string digits;
    qsizetype pointAt = -1;
    bool sawDigit = false;
    for (; pos < end; ++pos) {
        const QChar c = compact[pos];
        if (IsDigit(c)) {
            sawDigit = true;
            if (digits.empty() && c == u'0' && pointAt < 0)
                continue; // leading zeros of the integer part carry nothing
            digits.push_back(char(c.unicode()));
        } else if (c == u'.' && pointAt < 0) {
            pointAt = qsizetype(digits.size());
        } else {
            break;
        }
    }
    if (!sawDigit)
        return 0;
    if (pointAt < 0)
        pointAt = qsizetype(digits.size());

    // Exponent: only taken when at least one digit follows the E and its sign.
    if (pos < end && (compact[pos] == u'E' || compact[pos] == u'e')) {
        qsizetype p = pos + 1;
        bool expNegative = false;
        if (p < end && (compact[p] == u'+' || compact[p] == u'-')) {
            expNegative = compact[p] == u'-';
            ++p;
        }
        if (p < end && IsDigit(compact[p])) {
            qint64 exponent = 0;
            for (; p < end && IsDigit(compact[p]); ++p)
                exponent = std::min<qint64>(exponent * 10 + (compact[p].unicode() - u'0'), 1'000'000);
            pointAt += expNegative ? -exponent : exponent;
        }
    }

    // Integer part: the digits before the point (zeros past the end of the digits).
    qint64 magnitude = 0;
    for (qsizetype i = 0; i < pointAt; ++i) {
        const int digit = i < qsizetype(digits.size()) ? digits[size_t(i)] - '0' : 0;
        magnitude = magnitude * 10 + digit;
        if (magnitude > 2'147'483'648LL)
            ThrowOverflow();
    }

    // Round the fraction half to even: look at its first digit and whether anything follows it.
    const auto fractionDigit
        = [&](qsizetype i) { return i >= 0 && i < qsizetype(digits.size()) ? digits[size_t(i)] - '0' : 0; };
    const qsizetype first = std::max<qsizetype>(pointAt, 0);
    const int roundDigit = pointAt < 0 ? 0 : fractionDigit(first);
    bool restNonZero = false;
    for (qsizetype i = first + (pointAt < 0 ? 0 : 1); i < qsizetype(digits.size()); ++i) {
        if (i >= 0 && digits[size_t(i)] != '0') {
            restNonZero = true;
            break;
        }
    }
    if (roundDigit > 5 || (roundDigit == 5 && (restNonZero || magnitude % 2 == 1)))
        ++magnitude;

    const qint64 value = negative ? -magnitude : magnitude;
    if (value > 2'147'483'647LL || value < -2'147'483'648LL)
        ThrowOverflow();
    return int(value);
}
