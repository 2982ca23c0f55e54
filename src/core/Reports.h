#pragma once

#include <QString>

// Every failure report the program makes: a message that says what failed and a location word
// naming the area. Kept in one table so that each text is written once, exactly as the logs have
// always carried it (spelling included).
struct ReportText {
    QString Message;
    QString Location;
};

namespace Reports {

inline const ReportText OpeningSockets{QStringLiteral("Error opening sockets"), QStringLiteral("Form Error")};
inline const ReportText ResizingForm{QStringLiteral("Error resizing form"), QStringLiteral("Form Error")};
inline const ReportText UnloadingForm{QStringLiteral("Error unloading form"), QStringLiteral("Form Error")};
inline const ReportText UpdatingLables{QStringLiteral("Error Updating Lables"), QStringLiteral("Form Error")};
inline const ReportText LoadingSetup{QStringLiteral("Error Loading Setup"), QStringLiteral("Form Error")};
inline const ReportText InvalidIPPort{QStringLiteral("Invalid IP Port Error"), QStringLiteral("IP Error")};
inline const ReportText ConnectingToRix{QStringLiteral("Error Connecting to RIX"),
                                        QStringLiteral("TCP/IP Connection Error")};
inline const ReportText ClientDisconnect{QStringLiteral("Error on Client Disconnect"),
                                         QStringLiteral("TCP/IP Socket Error")};
inline const ReportText ReceivingRixMessageData{QStringLiteral("Error receiving RIX Message Data"),
                                                QStringLiteral("TCP/IP Message Error")};
inline const ReportText ServerMessageData{QStringLiteral("Server Message Data Error"),
                                          QStringLiteral("TCP/IP Message Error")};
inline const ReportText SendingStringToRixPort{QStringLiteral("Error Sending String to RIX Port"),
                                               QStringLiteral("RIX Message Error")};
inline const ReportText DeterminingRixString{QStringLiteral("Error Determining RIX String"),
                                             QStringLiteral("RIX Message Error")};
inline const ReportText ConnectingToSwitcher{QStringLiteral("Error Connecting to Switcher"),
                                             QStringLiteral("Connection Error")};
inline const ReportText SettingUpClientSocket{QStringLiteral("Error Setting up Client Socket"),
                                              QStringLiteral("Socket Error")};
inline const ReportText SettingUpServerSocket{QStringLiteral("Error Setting up Server Socket"),
                                              QStringLiteral("Socket Error")};
inline const ReportText ReadingSettings{QStringLiteral("Error Reading iplog.ini file"), QStringLiteral("File Error")};
inline const ReportText WritingSettings{QStringLiteral("Error Writing iplog.ini file"), QStringLiteral("File Error")};
inline const ReportText LoggingIPMessage{QStringLiteral("Error Logging IP Message"),
                                         QStringLiteral("Message Log Error")};
inline const ReportText Retry{QStringLiteral("Retry"), QStringLiteral("Message Log Error")};
inline const ReportText WritingDataLog{QStringLiteral("Error writing to Data Log"), QStringLiteral("File Error")};

inline const ReportText ConnectingToClient{QStringLiteral("Error Connecting to Client"),
                                           QStringLiteral("Connection Error")};

// A link that was down is up again: the first connection that completed, after how long.
inline ReportText LinkRestored(const QString& side, const QString& address, int port, const QString& downFor)
{
    return {QStringLiteral("%1 Connection Restored to %2:%3 after %4 down").arg(side, address).arg(port).arg(downFor),
            QStringLiteral("Connection Error")};
}

// With this many clients connected, new ones are being turned away.
inline ReportText ClientLimitReached(int maxClients)
{
    return {QStringLiteral("Client Limit of %1 Reached: New Clients Refused").arg(maxClients),
            QStringLiteral("TCP/IP Connection Error")};
}

// A read that failed on either side, naming the peer's address.
inline ReportText SocketError(int code, const QString& address)
{
    return {QStringLiteral("Socket Error #%1(%2)").arg(code).arg(address), QStringLiteral("TCP/IP Message Error")};
}

// A client port from iplog.ini that is not a port: nothing listens on it or connects to it.
inline ReportText InvalidClientPort(int port)
{
    return {QStringLiteral("Invalid Client IP Port #%1 in iplog.ini, not used (a port is a number between 1 and 65535)")
                .arg(port),
            QStringLiteral("IP Error")};
}

// A re-read iplog.ini with settings the relay cannot use: the running settings stay.
inline ReportText SettingsNotApplied(const QString& why)
{
    return {QStringLiteral("iplog.ini not applied: ") + why, QStringLiteral("File Error")};
}

// A write to a slot's client side, and to its RIX side.
inline ReportText SendingToRix(int slot, qint64 length)
{
    return {QStringLiteral("Error sending to RIX: Socket #%1 Len %2").arg(slot).arg(length),
            QStringLiteral("TCP/IP Socket Error")};
}

inline ReportText SendingToServer(int slot, qint64 length)
{
    return {QStringLiteral("Error sending to Server: Socket #%1 Len %2").arg(slot).arg(length),
            QStringLiteral("TCP/IP Socket Error")};
}

// The metrics endpoint could not listen: the relay runs on without it.
inline ReportText OpeningMetricsEndpoint(const QString& endpoint)
{
    return {QStringLiteral("Error opening Metrics Endpoint %1").arg(endpoint), QStringLiteral("Socket Error")};
}

} // namespace Reports
