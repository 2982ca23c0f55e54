// CompareLoginString agrees with a plain comparison of bytes 1 to 16, and MakeRixString of the login
// text is the 17-byte confirmation.
#include "FuzzSupport.h"
#include "core/Constants.h"
#include "net/LoginString.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QByteArray login = MakeRixString(Constants::LoginText);
    FUZZ_CHECK(login == QByteArray("Login Sucessful\r\n"));
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));
    const bool expected = size >= 17 && std::memcmp(data + 1, login.constData() + 1, 16) == 0;
    FUZZ_CHECK(CompareLoginString(login, input) == expected);
    return 0;
}
