// A small stand-in for the RIX: it greets each connection with the RIX's login confirmation, echoes
// what it receives, and can send binary status frames that hold zero bytes, as the device does.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>

namespace {

// A status frame as the device sends it: 24, 0, then a counter and a few zero-padded fields.
QByteArray StatusFrame(quint8 counter)
{
    QByteArray frame;
    frame.append(char(24));
    frame.append(char(0));
    frame.append(char(counter));
    frame.append(QByteArray("\0\x01\0\x02\0", 5));
    frame.append("\r\n");
    return frame;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvane-rix-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVANE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A RIX simulator for Tolvane. Listens on 127.0.0.1, sends \"Login Sucessful\" CR LF to every new\n"
        "connection, echoes every byte it receives, and on request sends periodic binary status frames\n"
        "(24, 0, counter, 0, 1, 0, 2, 0, CR, LF) so the relay's zero-byte rule can be watched.\n"
        "Prints \"listening <port>\" once it accepts connections."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")},
                                  QStringLiteral("Port to listen on (default 1200; 0 lets the system choose)."),
                                  QStringLiteral("port"), QStringLiteral("1200"));
    QCommandLineOption statusOption({QStringLiteral("s"), QStringLiteral("status-every")},
                                    QStringLiteral("Send a status frame to every connection every <ms> milliseconds."),
                                    QStringLiteral("ms"), QStringLiteral("0"));
    QCommandLineOption silentOption(QStringLiteral("no-login"),
                                    QStringLiteral("Do not send the login confirmation to new connections."));
    QCommandLineOption dropOption(
        {QStringLiteral("d"), QStringLiteral("drop-every")},
        QStringLiteral("Drop every connection every <ms> milliseconds, as a RIX that restarts."), QStringLiteral("ms"),
        QStringLiteral("0"));
    parser.addOptions({portOption, statusOption, silentOption, dropOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "tolvane-rix-sim: bad port \"%s\"\n", qPrintable(parser.value(portOption)));
        return 2;
    }
    const int statusEvery = parser.value(statusOption).toInt();
    const int dropEvery = parser.value(dropOption).toInt();
    const bool sendLogin = !parser.isSet(silentOption);

    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server, sendLogin] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            if (sendLogin)
                socket->write("Login Sucessful\r\n");
        }
    });
    if (!server.listen(QHostAddress::LocalHost, quint16(port))) {
        std::fprintf(stderr, "tolvane-rix-sim: cannot listen on port %u: %s\n", port, qPrintable(server.errorString()));
        return 1;
    }

    QTimer statusTimer;
    quint8 counter = 0;
    if (statusEvery > 0) {
        QObject::connect(&statusTimer, &QTimer::timeout, &server, [&server, &counter] {
            const QByteArray frame = StatusFrame(counter++);
            for (QTcpSocket* socket : server.findChildren<QTcpSocket*>())
                socket->write(frame);
        });
        statusTimer.start(statusEvery);
    }

    QTimer dropTimer;
    if (dropEvery > 0) {
        QObject::connect(&dropTimer, &QTimer::timeout, &server, [&server] {
            for (QTcpSocket* socket : server.findChildren<QTcpSocket*>())
                socket->abort();
        });
        dropTimer.start(dropEvery);
    }

    std::printf("listening %u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
