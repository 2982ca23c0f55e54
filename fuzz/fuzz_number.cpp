// NumberFromText against a slow reference that moves the decimal point one digit at a time.
#include "FuzzSupport.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace {

// The reference: the same reading rules, done the slow, obvious way on a digit string.
std::optional<long long> Reference(const std::string& raw, bool& overflow)
{
    std::string text;
    for (char c : raw)
        if (c != ' ' && c != '\t' && c != '\n')
            text += c;
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
        negative = text[pos++] == '-';
    std::string intDigits, fracDigits;
    bool point = false, any = false;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c >= '0' && c <= '9') {
            (point ? fracDigits : intDigits) += c;
            any = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any)
        return 0;
    long long exponent = 0;
    if (pos < text.size() && (text[pos] == 'E' || text[pos] == 'e')) {
        size_t p = pos + 1;
        bool expNegative = false;
        if (p < text.size() && (text[p] == '+' || text[p] == '-'))
            expNegative = text[p++] == '-';
        if (p < text.size() && text[p] >= '0' && text[p] <= '9') {
            for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p)
                exponent = std::min(exponent * 10 + (text[p] - '0'), 100000LL);
            if (expNegative)
                exponent = -exponent;
        }
    }
    // Move the point one place at a time.
    for (; exponent > 0; --exponent) {
        if (fracDigits.empty() && intDigits.find_first_not_of('0') == std::string::npos)
            break; // zero stays zero
        intDigits += fracDigits.empty() ? '0' : fracDigits[0];
        if (!fracDigits.empty())
            fracDigits.erase(0, 1);
        intDigits.erase(0, std::min(intDigits.find_first_not_of('0'), intDigits.size()));
        if (intDigits.size() > 11) {
            overflow = true;
            return std::nullopt;
        }
    }
    for (; exponent < 0; ++exponent) {
        if (intDigits.empty()) {
            fracDigits.insert(fracDigits.begin(), '0'); // further shifts only add zeros in front
            break;
        }
        fracDigits.insert(fracDigits.begin(), intDigits.back());
        intDigits.pop_back();
    }
    const size_t firstSignificant = intDigits.find_first_not_of('0');
    const std::string significant = firstSignificant == std::string::npos ? "" : intDigits.substr(firstSignificant);
    if (significant.size() > 11) {
        overflow = true;
        return std::nullopt;
    }
    long long value = significant.empty() ? 0 : std::stoll(significant);
    const int first = fracDigits.empty() ? 0 : fracDigits[0] - '0';
    const bool rest = fracDigits.size() > 1 && fracDigits.find_first_not_of('0', 1) != std::string::npos;
    if (first > 5 || (first == 5 && (rest || value % 2 == 1)))
        ++value;
    if (negative)
        value = -value;
    if (value > INT32_MAX || value < INT32_MIN) {
        overflow = true;
        return std::nullopt;
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096));
    bool referenceOverflow = false;
    const std::optional<long long> expected = Reference(raw, referenceOverflow);
    try {
        const int got = NumberFromText(QString::fromLatin1(raw.data(), qsizetype(raw.size())));
        FUZZ_CHECK(!referenceOverflow);
        FUZZ_CHECK(expected.has_value() && *expected == got);
    } catch (const Failure&) {
        FUZZ_CHECK(referenceOverflow);
    }
    return 0;
}
