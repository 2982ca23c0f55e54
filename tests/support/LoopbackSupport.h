#pragma once

// What the loopback tests and the tests of the built programs share; Qt only, no project code.

#include "support/FileSupport.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

inline const QByteArray Login("Login Sucessful\r\n");

// A port nothing listens on: it was free a moment ago. Below the ephemeral range, which storms of
// connections fill with TIME_WAIT entries.
inline quint16 FreePort()
{
    for (;;) {
        const auto port = quint16(20000 + QRandomGenerator::global()->bounded(12000));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
}

// Whether something listens on the port (on any local address), read from the kernel's table so
// that checking makes no client.
inline bool IsListening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A")
            return true;
    }
    return false;
}

// Data that the relay passes unchanged, different for each seed.
inline QByteArray Pattern(qsizetype size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        data[i] = char((seed >> 24) | 1); // never 0: the zero-byte rule would remove it
    }
    return data;
}

// A peer on 127.0.0.1 that accepts connections (a RIX, or the client the relay connects to) and
// records what each of them receives. It may greet with the RIX's confirmation, echo, or read nothing.
class Peer final : public QObject {
public:
    struct Connection {
        QTcpSocket* Socket = nullptr;
        QByteArray Received;
        bool Closed = false;
    };

    explicit Peer(bool sendLogin = false)
        : m_sendLogin(sendLogin)
    {
        connect(&Server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = Server.nextPendingConnection()) {
                auto connection = std::make_shared<Connection>();
                connection->Socket = socket;
                Connections.push_back(connection);
                if (!Read)
                    socket->setReadBufferSize(1);
                connect(socket, &QTcpSocket::readyRead, this, [this, connection] {
                    if (!Read)
                        return;
                    const QByteArray got = connection->Socket->readAll();
                    connection->Received += got;
                    AllReceived += got;
                    if (Echo)
                        connection->Socket->write(got);
                });
                connect(socket, &QTcpSocket::disconnected, this, [connection] { connection->Closed = true; });
                if (m_sendLogin)
                    socket->write(Login);
            }
        });
    }

    bool Listen(quint16 port = 0) { return Server.listen(QHostAddress::LocalHost, port); }
    // A peer that has stopped reading starts again: what waited in the kernel comes in from now on.
    void ReadAgain()
    {
        Read = true;
        for (const auto& connection : Connections) {
            connection->Socket->setReadBufferSize(0);
            const QByteArray got = connection->Socket->readAll();
            connection->Received += got;
            AllReceived += got;
        }
    }
    quint16 Port() const { return Server.serverPort(); }
    int Count() const { return int(Connections.size()); }
    Connection& At(int i) { return *Connections.at(size_t(i)); }
    int OpenCount() const
    {
        int open = 0;
        for (const auto& c : Connections)
            open += !c->Closed;
        return open;
    }

    QTcpServer Server;
    std::vector<std::shared_ptr<Connection>> Connections;
    QByteArray AllReceived; // what all connections received, in the order it arrived
    bool Echo = false;
    bool Read = true; // set before the connections are made

private:
    bool m_sendLogin;
};

// A client of the relay, from the given loopback address; keeps what it receives and whether it was closed.
struct Client {
    QTcpSocket Socket;
    QByteArray Received;
    bool Closed = false;

    explicit Client(const QString& from = QStringLiteral("127.0.0.1"))
    {
        QObject::connect(&Socket, &QTcpSocket::readyRead, &Socket, [this] { Received += Socket.readAll(); });
        QObject::connect(&Socket, &QTcpSocket::disconnected, &Socket, [this] { Closed = true; });
        Socket.bind(QHostAddress(from));
    }
    bool Connect(quint16 port)
    {
        Socket.connectToHost(QHostAddress::LocalHost, port);
        return Socket.waitForConnected(5000);
    }
    // Connects and waits for the relay's greeting.
    bool ConnectGreeted(quint16 port)
    {
        return Connect(port) && QTest::qWaitFor([this] { return Received == Login; }, 5000);
    }
};

// The environment with no display, plus the given NAME=value pairs.
inline QProcessEnvironment Headless(const QStringList& extra = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const QString& pair : extra)
        environment.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    return environment;
}

// The signal, then an orderly exit with status 0.
inline void StopWith(QProcess& process, int signal = SIGTERM, int timeoutMs = 5000)
{
    ::kill(pid_t(process.processId()), signal);
    QVERIFY(process.waitForFinished(timeoutMs));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}
