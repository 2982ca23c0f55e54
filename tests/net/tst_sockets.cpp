#include "core/Constants.h"
#include "core/Failure.h"
#include "net/ReadinessBackend.h"
#include "net/SocketObject.h"
#include "support/DispatcherSupport.h"
#include "support/LoopbackSupport.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/resource.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

// The socket layer on its own, against real loopback peers. The whole class runs once per
// readiness backend.
class tst_sockets : public QObject {
    Q_OBJECT
public:
    explicit tst_sockets(ReadinessBackend::Kind kind)
        : m_kind(kind)
    {
    }

private slots:
    void init();
    void cleanup();
    void connectRefused();
    void connectCompletes();
    void stalledConnectIsStartedAfresh();
    void partialWritesDrainInOrder();
    void endOfStream_data();
    void endOfStream();
    void keepAliveOnBothKindsOfConnection();
    void acceptAndAdopt();
    void unadoptedHandleIsClosed();
    void listenOnBusyPortFails();
    void acceptingResumesAfterDescriptorsRunOut();

private:
    // Reads everything waiting on element index into out.
    static void Drain(SocketObject& socket, QByteArray& out);
    // Connects the object to the server and returns the server's side, or nullptr.
    static QTcpSocket* ConnectToPeer(SocketObject& socket, QTcpServer& server);
    // Element 0 listens on a free port of 127.0.0.1; returns that port.
    quint16 Listen();

    ReadinessBackend::Kind m_kind;
    TestClock m_clock;
    std::unique_ptr<ReadinessBackend> m_backend;
    std::unique_ptr<SocketArray> m_array;
};

void tst_sockets::init()
{
    m_clock = TestClock();
    m_backend = ReadinessBackend::Create(m_kind);
    m_array = std::make_unique<SocketArray>(*m_backend, m_clock);
}

void tst_sockets::cleanup()
{
    m_array.reset();
    m_backend.reset();
}

void tst_sockets::Drain(SocketObject& socket, QByteArray& out)
{
    char buffer[65536];
    qint64 n;
    while ((n = socket.Read(buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
}

quint16 tst_sockets::Listen()
{
    (*m_array)(0).SetLocalAddress(QStringLiteral("127.0.0.1"));
    (*m_array)(0).SetLocalPort(0);
    (*m_array)(0).Command(Constants::CommandListen);
    return quint16((*m_array)(0).LocalPort());
}

QTcpSocket* tst_sockets::ConnectToPeer(SocketObject& socket, QTcpServer& server)
{
    socket.SetRemoteAddress(QStringLiteral("127.0.0.1"));
    socket.SetRemotePort(server.serverPort());
    const bool connected = socket.Connect() == 0
        && QTest::qWaitFor([&] { return socket.IsConnected() && server.hasPendingConnections(); }, 5000);
    return connected ? server.nextPendingConnection() : nullptr;
}

void tst_sockets::connectRefused()
{
    QSignalSpy failed(m_array.get(), &SocketArray::ConnectFailed);
    QSignalSpy connected(m_array.get(), &SocketArray::Connected);
    SocketObject& socket = (*m_array)(0);
    socket.SetRemoteAddress(QStringLiteral("127.0.0.1"));
    socket.SetRemotePort(FreePort());
    const int status = socket.Connect();
    // Loopback usually refuses at once; otherwise the failure arrives as an event.
    if (status == 0)
        QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!socket.IsConnected());
    QVERIFY(!socket.IsConnecting());
    QCOMPARE(connected.count(), 0);
}

void tst_sockets::connectCompletes()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QSignalSpy connected(m_array.get(), &SocketArray::Connected);
    SocketObject& socket = (*m_array)(0);
    socket.SetRemoteAddress(QStringLiteral("127.0.0.1"));
    socket.SetRemotePort(server.serverPort());
    QCOMPARE(socket.Connect(), 0);
    QCOMPARE(socket.Connect(), 0); // the second call, before any event, starts nothing new
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(0).toInt(), 0);
    QVERIFY(socket.IsConnected());
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket* peer = server.nextPendingConnection();
    QVERIFY(!server.hasPendingConnections());
    QByteArray received;
    connect(peer, &QTcpSocket::readyRead, this, [&] { received += peer->readAll(); });
    QVERIFY(socket.Write("ping"));
    QTRY_COMPARE(received, QByteArray("ping"));
    // Connecting a connected object keeps the connection.
    QCOMPARE(socket.Connect(), 0);
    QVERIFY(socket.IsConnected());
}

void tst_sockets::stalledConnectIsStartedAfresh()
{
    // A listener that never accepts, its queue full: a further connection attempt hangs.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener, 0), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }

    SocketObject& socket = (*m_array)(0);
    socket.SetRemoteAddress(QStringLiteral("127.0.0.1"));
    socket.SetRemotePort(ntohs(address.sin_port));
    QCOMPARE(socket.Connect(), 0);
    QCOMPARE(socket.ConnectAttemptAge(), 0);
    // Up to the timeout the attempt goes on, whatever the system time does meanwhile.
    m_clock.Moment = m_clock.Moment.addSecs(3600);
    m_clock.Monotonic += SocketObject::ConnectTimeoutMs;
    QCOMPARE(socket.Connect(), 0);
    QVERIFY(socket.IsConnecting());
    QCOMPARE(socket.ConnectAttemptAge(), SocketObject::ConnectTimeoutMs);
    // Past it the next Connect abandons the attempt and starts again.
    m_clock.Monotonic += 1;
    QCOMPARE(socket.Connect(), 0);
    QVERIFY(socket.IsConnecting());
    QCOMPARE(socket.ConnectAttemptAge(), 0);
    socket.Command(Constants::CommandClose);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

void tst_sockets::partialWritesDrainInOrder()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QSignalSpy drained(m_array.get(), &SocketArray::OutputDrained);
    SocketObject& socket = (*m_array)(0);
    QTcpSocket* peer = ConnectToPeer(socket, server);
    QVERIFY(peer);

    // The peer does not read yet: the kernel takes a part, the rest waits in order.
    QByteArray expected;
    for (int block = 0; block < 64; ++block) {
        QByteArray chunk(512 * 1024, char('a' + block % 26));
        chunk[0] = char(block);
        QVERIFY(socket.Write(chunk));
        expected += chunk;
    }
    QVERIFY(socket.PendingOutput() > 0);

    QByteArray received;
    connect(peer, &QTcpSocket::readyRead, this, [&] { received += peer->readAll(); });
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), expected.size(), 20000);
    QVERIFY(received == expected);
    QCOMPARE(socket.PendingOutput(), 0);
    QVERIFY(drained.count() >= 1);
}

void tst_sockets::endOfStream_data()
{
    QTest::addColumn<QByteArray>("lastWords");
    QTest::addColumn<QString>("ending"); // close, half-close or reset
    QTest::addColumn<bool>("paused");
    QTest::newRow("close alone") << QByteArray() << "close" << false;
    QTest::newRow("data and close together") << QByteArray("last words") << "close" << false;
    QTest::newRow("data and half-close together") << QByteArray("bye") << "half-close" << false;
    QTest::newRow("more than one read, then close") << QByteArray(300 * 1024, 'x') << "close" << false;
    QTest::newRow("data and close while paused") << QByteArray("late") << "close" << true;
    QTest::newRow("half-close while paused") << QByteArray("late") << "half-close" << true;
    QTest::newRow("reset") << QByteArray() << "reset" << false;
    QTest::newRow("reset while paused") << QByteArray() << "reset" << true;
}

void tst_sockets::endOfStream()
{
    QFETCH(QByteArray, lastWords);
    QFETCH(QString, ending);
    QFETCH(bool, paused);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    SocketObject& socket = (*m_array)(0);
    QByteArray received;
    int closedEvents = 0;
    bool dataAfterClose = false;
    // The handler reads until the socket has nothing more, as the relay's handlers do.
    connect(m_array.get(), &SocketArray::DataArrived, this, [&](int) {
        dataAfterClose = dataAfterClose || closedEvents > 0;
        char buffer[65536];
        while (socket.MayHaveMore()) {
            const qint64 n = socket.Read(buffer, sizeof buffer);
            if (n <= 0)
                break;
            received.append(buffer, n);
        }
    });
    connect(m_array.get(), &SocketArray::Closed, this, [&](int) { ++closedEvents; });
    QTcpSocket* peer = ConnectToPeer(socket, server);
    QVERIFY(peer);
    socket.PauseReading(paused);

    // Everything reaches the kernel in one go, so the data and the end arrive together.
    const int fd = int(peer->socketDescriptor());
    if (!lastWords.isEmpty())
        QCOMPARE(::send(fd, lastWords.constData(), size_t(lastWords.size()), 0), ssize_t(lastWords.size()));
    if (ending == "reset") {
        const linger hard{1, 0};
        QCOMPARE(setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
        peer->abort();
    } else if (ending == "half-close") {
        QCOMPARE(::shutdown(fd, SHUT_WR), 0);
    } else {
        peer->abort();
    }

    if (paused && ending != "reset") {
        // Nothing is read while paused; the end waits behind the data it follows.
        for (int turn = 0; turn < 10; ++turn)
            QCoreApplication::processEvents();
        QCOMPARE(received, QByteArray());
        QCOMPARE(closedEvents, 0);
        QVERIFY(socket.IsConnected());
        socket.PauseReading(false);
    }
    QTRY_COMPARE(closedEvents, 1);
    QCOMPARE(received.size(), lastWords.size());
    QVERIFY(received == lastWords);
    QVERIFY(!dataAfterClose);
    QVERIFY(!socket.IsConnected());
    QVERIFY(!socket.HasConnection());
    // Exactly once: nothing more comes on later turns either.
    QCoreApplication::processEvents();
    QCOMPARE(closedEvents, 1);
}

void tst_sockets::keepAliveOnBothKindsOfConnection()
{
    SocketArray& array = *m_array;
    const quint16 port = Listen();
    const int accepted = array.Add();
    const int outgoing = array.Add();
    connect(&array, &SocketArray::Accept, this,
            [&](int, AcceptedHandle& handle) { array(accepted).AcceptHandle(std::move(handle)); });
    // The outgoing connection goes to our own listener, and is accepted there.
    array(outgoing).SetRemoteAddress(QStringLiteral("127.0.0.1"));
    array(outgoing).SetRemotePort(port);
    QCOMPARE(array(outgoing).Connect(), 0);
    QTRY_VERIFY(array(outgoing).IsConnected() && array(accepted).IsConnected());
    // The accepted one has them from the listener; the outgoing one once its owner's tick asks.
    int keepAlive = -1;
    socklen_t size = sizeof keepAlive;
    QCOMPARE(getsockopt(int(array(outgoing).Descriptor()), SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size), 0);
    QCOMPARE(keepAlive, 0);
    array(outgoing).KeepAliveIfDue();
    for (const int index : {accepted, outgoing}) {
        const int fd = int(array(index).Descriptor());
        int value = 0;
        socklen_t length = sizeof value;
        QCOMPARE(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
        QCOMPARE(value, 1);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
        QCOMPARE(value, NativeSocket::KeepAliveIdleSeconds);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length), 0);
        QCOMPARE(value, NativeSocket::KeepAliveIntervalSeconds);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, &length), 0);
        QCOMPARE(value, NativeSocket::UserTimeoutMs);
    }
}

void tst_sockets::acceptAndAdopt()
{
    SocketArray& array = *m_array;
    const quint16 port = Listen();
    QVERIFY(array(0).IsListening());
    const int slot = array.Add();
    connect(&array, &SocketArray::Accept, this, [&](int index, AcceptedHandle& handle) {
        QCOMPARE(index, 0);
        array(slot).AcceptHandle(std::move(handle));
    });
    QByteArray echoed;
    connect(&array, &SocketArray::DataArrived, this, [&](int index) {
        QByteArray got;
        Drain(array(index), got);
        array(index).Write(got);
    });

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_VERIFY(array(slot).IsConnected());
    QCOMPARE(array(slot).PeerAddress(), QStringLiteral("127.0.0.1"));
    connect(&client, &QTcpSocket::readyRead, this, [&] { echoed += client.readAll(); });
    client.write("adopted");
    QTRY_COMPARE(echoed, QByteArray("adopted"));
}

void tst_sockets::unadoptedHandleIsClosed()
{
    QSignalSpy accepted(m_array.get(), &SocketArray::Accept);
    QTcpSocket client;
    QSignalSpy disconnected(&client, &QTcpSocket::disconnected);
    client.connectToHost(QHostAddress::LocalHost, Listen());
    QTRY_COMPARE(accepted.count(), 1);
    QTRY_COMPARE(disconnected.count(), 1);
}

void tst_sockets::listenOnBusyPortFails()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    SocketObject& listener = (*m_array)(0);
    listener.SetLocalAddress(QStringLiteral("127.0.0.1"));
    listener.SetLocalPort(holder.serverPort());
    QVERIFY_THROWS_EXCEPTION(Failure, listener.Command(Constants::CommandListen));
    QVERIFY(!listener.IsListening());
    QVERIFY_THROWS_EXCEPTION(Failure, listener.SetLocalPort(70000));
    QVERIFY_THROWS_EXCEPTION(Failure, listener.SetRemoteAddress(QStringLiteral("1.2.3")));
    QVERIFY_THROWS_EXCEPTION(Failure, (*m_array)(5));
}

void tst_sockets::acceptingResumesAfterDescriptorsRunOut()
{
    SocketArray& array = *m_array;
    const quint16 port = Listen();
    connect(&array, &SocketArray::Accept, this,
            [&](int, AcceptedHandle& handle) { array(array.Add()).AcceptHandle(std::move(handle)); });
    QSignalSpy failed(&array, &SocketArray::AcceptFailed);

    // Eight clients wait in the backlog; the process may open only two more descriptors.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        clients.push_back(fd);
    }
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const int probe = ::dup(0);
    ::close(probe);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(probe + 2); // descriptors below probe are in use (or nearly all of them)
    setrlimit(RLIMIT_NOFILE, &tight);
    QTRY_VERIFY(array.Count() >= 2);
    const int acceptedWhileShort = array.Count() - 1;
    setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(acceptedWhileShort < 8);
    // Once descriptors are free again, the listener takes the rest without a new connection arriving.
    QTRY_COMPARE(array.Count(), 9);
    QVERIFY(array(0).IsListening());
    // Said once for the whole shortage, however many times the listener tried meanwhile.
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(1).toInt(), EMFILE);
    for (int fd : clients)
        ::close(fd);
}

int main(int argc, char* argv[])
{
    if (WantsEpollDispatcher())
        InstallEpollDispatcher();
    QCoreApplication app(argc, argv);
    int failures = 0;
    for (const auto kind : {ReadinessBackend::Kind::Epoll, ReadinessBackend::Kind::Notifiers}) {
        tst_sockets test(kind);
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures;
}

#include "tst_sockets.moc"
