// The zero-byte rule never lengthens data, keeps every non-zero byte in order, and keeps a zero only
// as the second byte of data that starts with 24 or 25.
#include "FuzzSupport.h"
#include "net/ZeroByteRule.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> buffer(data, data + size);
    const qsizetype length = ApplyZeroByteRule(buffer.data(), qsizetype(buffer.size()));
    FUZZ_CHECK(length >= 0 && size_t(length) <= size);
    std::vector<char> expected;
    for (size_t i = 0; i < size; ++i) {
        const bool keptZero = i == 1 && (data[0] == 24 || data[0] == 25);
        if (data[i] != 0 || keptZero)
            expected.push_back(char(data[i]));
    }
    FUZZ_CHECK(size_t(length) == expected.size());
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), buffer.begin()));
    return 0;
}
