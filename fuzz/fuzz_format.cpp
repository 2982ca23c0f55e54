// FormatDataBytes: walked in step with its input, every byte renders as itself or as ^ and a letter,
// nothing else is added but the final CR LF, and no control byte but CR and LF remains.
#include "FuzzSupport.h"
#include "files/DataLog.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    const QByteArray out = FormatDataBytes(input);
    qsizetype o = 0;
    for (qsizetype i = 0; i < input.size(); ++i) {
        const auto byte = quint8(input[i]);
        if (byte < 32 && byte != 10 && byte != 13) {
            FUZZ_CHECK(o + 1 < out.size() && out[o] == '^' && quint8(out[o + 1]) == byte + 64);
            o += 2;
        } else {
            FUZZ_CHECK(o < out.size() && quint8(out[o]) == byte);
            o += 1;
        }
    }
    const bool endsInLineFeed = !input.isEmpty() && input.back() == '\n';
    FUZZ_CHECK(out.size() == o + (endsInLineFeed ? 0 : 2));
    if (!endsInLineFeed)
        FUZZ_CHECK(out.endsWith("\r\n"));
    for (char c : out)
        FUZZ_CHECK(quint8(c) >= 32 || c == '\n' || c == '\r');
    return 0;
}
