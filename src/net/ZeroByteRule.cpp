#include "net/ZeroByteRule.h"

#include <cstring>

qsizetype ApplyZeroByteRule(char* data, qsizetype size)
{
    qsizetype read = 0;
    if (size >= 2 && data[1] == 0 && (data[0] == 24 || data[0] == 25))
        read = 2; // the status frames' second byte stays
    qsizetype write = read;
    while (read < size) {
        const auto* zero = static_cast<const char*>(std::memchr(data + read, 0, size_t(size - read)));
        const qsizetype runEnd = zero ? zero - data : size;
        if (write != read)
            std::memmove(data + write, data + read, size_t(runEnd - read));
        write += runEnd - read;
        read = runEnd + 1;
    }
    return write;
}
