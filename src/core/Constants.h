#pragma once

#include <QByteArray>
#include <QString>

namespace Constants {

// Settings used when "iplog.ini" does not exist.
inline constexpr int DefaultRixIPPort = 1200;
inline constexpr int DefaultClientIPPort = 1100;
inline const QString DefaultIPAddress = QStringLiteral("127.0.0.1");
inline constexpr int DefaultPacketSize = 16383;

// A TCP port number: 0 and numbers beyond 65535 are not ports.
inline constexpr bool IsPort(int value)
{
    return value >= 1 && value <= 65535;
}

// Operation modes.
inline constexpr qint16 ListenMode = 0;
inline constexpr qint16 ConnectMode = 1;

// Socket commands and the socket layer's "would block, try again later" code.
inline constexpr int CommandListen = 3;
inline constexpr int CommandClose = 7;
inline constexpr int WouldBlock = 24035;

// 16-bit counters stop here; one more is a failure of the operation that tried it.
inline constexpr int CounterMax = 32767;
inline constexpr int CounterMin = -32768;

inline constexpr int PollPeriodMs = 1000;

inline const QString CaptionConnected = QStringLiteral("Tolvane - Connected");
inline const QString CaptionDisconnected = QStringLiteral("Tolvane - Disconnected");

// The login confirmation the RIX sends, which the relay sends to each new client itself.
inline const QString LoginText = QStringLiteral("Login Sucessful\r\n");

} // namespace Constants
