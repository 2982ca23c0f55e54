#include "app/Startup.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"
#include "files/DataLabel.h"
#include "files/FileAccess.h"
#include "net/TCPIP.h"
#include "support/DispatcherSupport.h"
#include "support/LoopbackSupport.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <vector>

namespace {

// The socket reads nothing until ReadAgain: what is sent to it waits in the kernel and at the sender.
void StopReading(QTcpSocket* socket)
{
    QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
    socket->setReadBufferSize(1);
}

void ReadAgain(QTcpSocket* socket, QByteArray& into)
{
    socket->setReadBufferSize(0);
    into += socket->readAll();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &into] { into += socket->readAll(); });
}

// Whether the relay has read all that the peer wrote to it: nothing waits in the peer's socket, in
// flight, or in the relay's receive queue.
bool RelayHasRead(QTcpSocket* writer, const SocketObject& relaySide)
{
    int unacknowledged = -1;
    int unread = -1;
    return writer->bytesToWrite() == 0 && ::ioctl(int(writer->socketDescriptor()), SIOCOUTQ, &unacknowledged) == 0
        && unacknowledged == 0 && ::ioctl(int(relaySide.Descriptor()), SIOCINQ, &unread) == 0 && unread == 0;
}

// Until the relay has read all the client sent: nothing left at the client, nothing unread at the relay.
bool RelayTookAll(QTcpSocket& client, const SocketObject& relaySide)
{
    int unsent = 0;
    int unread = 0;
    return client.bytesToWrite() == 0 && ::ioctl(int(client.socketDescriptor()), SIOCOUTQ, &unsent) == 0 && unsent == 0
        && ::ioctl(int(relaySide.Descriptor()), SIOCINQ, &unread) == 0 && unread == 0;
}

// The length an "Error sending to Server" report gives for slot 1, after the RIX took nothing in
// time; -1 when the report is not one.
qint64 TimedOutLength(const QString& report)
{
    const QRegularExpressionMatch match
        = QRegularExpression(
              QStringLiteral("^Error sending to Server: Socket #1 Len (\\d+)\\|TCP/IP Socket Error\\|%1$")
                  .arg(FailureCode::TimedOut))
              .match(report);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

// The stalled RIX reads again until the relay's connection to it ends: all it received.
QByteArray ReadToTheEnd(Peer::Connection& connection)
{
    ReadAgain(connection.Socket, connection.Received);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(connection.Closed, 20000); }();
    connection.Received += connection.Socket->readAll();
    return connection.Received;
}

// The one report counted the bytes the RIX never acknowledged, exactly: once it reads again it gets
// everything else, in order, and nothing of what was counted.
// The listeners were told the same count.
void CheckExactLoss(const QStringList& reports, qint64 told, Peer::Connection& connection, const QByteArray& sent)
{
    QCOMPARE(reports.size(), 1);
    const qint64 lost = TimedOutLength(reports[0]);
    QVERIFY2(lost > 0, qPrintable(reports[0]));
    QCOMPARE(told, lost);
    const QByteArray received = ReadToTheEnd(connection);
    QCOMPARE(received.size() + lost, sent.size());
    QVERIFY(sent.startsWith(received));
}

// What the relay told its listeners of bytes that will never arrive, per side they came from, of its
// links, and of clients coming and going.
struct Heard final : RelayEvents {
    void ClientConnected(int slot, const QString&, quint16, Arrival arrival) override
    {
        Clients.append(
            QStringLiteral("%1 %2").arg(arrival == Arrival::Accepted ? "accepted" : "connected out").arg(slot));
    }
    void ClientLeft(int slot, const QString&, Ending how) override
    {
        static const char* const ends[] = {"closed", "reset", "keepalive", "settings", "shutdown"};
        Clients.append(QStringLiteral("left %1 %2").arg(slot).arg(ends[int(how)]));
    }
    void BytesDiscarded(From from, int, qint64 bytes, Discard) override
    {
        (from == From::Client ? FromClient : FromRix) += bytes;
    }
    void LinkChanged(Link link, bool up) override
    {
        Links.append(QStringLiteral("%1 %2").arg(link == Link::Rix ? "RIX" : "client", up ? "up" : "down"));
    }
    qint64 FromClient = 0;
    qint64 FromRix = 0;
    QStringList Links;
    QStringList Clients;
};

// A draining pool of its own on the test clock, with one RIX-side socket to hand it.
struct PoolOnTestClock {
    PoolOnTestClock(ErrorReporter& errors, RelayEvents& events, const Clock& clock)
        : Backend(ReadinessBackend::Create(ReadinessBackend::DefaultKind()))
        , Reports(errors, clock)
        , RixSide(*Backend, clock)
        , Pool(*Backend, Reports, events, clock)
    {
    }
    // Starts the socket's connection to a RIX on 127.0.0.1.
    SocketObject& ConnectTo(quint16 port)
    {
        SocketObject& rix = RixSide(0);
        rix.SetRemoteAddress(QStringLiteral("127.0.0.1"));
        rix.SetRemotePort(port);
        [&] { QCOMPARE(rix.Connect(), 0); }();
        return rix;
    }
    std::unique_ptr<ReadinessBackend> Backend;
    ReportThrottle Reports;
    SocketArray RixSide;
    DrainingPool Pool;
};

// A RIX whose accept queue is full: connections to it are never answered, they wait in SYN_SENT.
class SilentRix {
public:
    SilentRix()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
        m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(m_filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    ~SilentRix()
    {
        for (const int fd : m_accepted)
            ::close(fd);
        ::close(m_filler);
        ::close(m_listener);
    }
    // Empties the accept queue, so that it answers again; how many connections besides the filler
    // it has taken so far.
    int AcceptAll()
    {
        for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;)
            m_accepted.push_back(fd);
        return std::max(int(m_accepted.size()) - 1, 0);
    }
    quint16 Port = 0;

private:
    int m_listener = -1;
    int m_filler = -1;
    std::vector<int> m_accepted;
};

// Ends the connection with a reset rather than an orderly close.
void Reset(QTcpSocket* socket)
{
    const linger hard{1, 0};
    QCOMPARE(setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    socket->abort();
}

} // namespace

class tst_relay : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listenStartUp();
    void eachClientHasItsOwnRixConnection();
    void zeroByteRule_data();
    void zeroByteRule();
    void loginFilter_data();
    void loginFilter();
    void reusedSlotStartsClean();
    void lowestFreeSlotIsReused();
    void rixConnectionGetsKeepAliveOnTheTick();
    void heldBytesStayWithTheirClient();
    void capReportedOnceWhileClientsCycle();
    void lastWordsAndEndTogether_data();
    void lastWordsAndEndTogether();
    void largeBurstsBothWays();
    void slowClientKeepsMemoryBounded();
    void dataWaitingForTheRixIsBounded();
    void totalWaitingIsBounded();
    void clientGoneWhilePausedIsNoticed();
    void newClientsWaitForRoom();
    void failedRixReadNamesTheRixAddress();
    void connectMode();
    void shutdownClosesEverySocket();
    void repeatedConnectFailureIsWrittenOnce();
    void leavingClientsBytesReachASlowRix();
    void burstLeavesAtMostFourWarmRixConnections();
    void connectionToItselfIsRefused();
    void rixMovedOntoOurOwnPortSaysDisconnected();
    void failedConnectClearsTheClientLine();
    void modeSwitchListensOrConnects();
    void drainingGivesUpAndSaysHowMuchWasLost_data();
    void drainingGivesUpAndSaysHowMuchWasLost();
    void drainingGivesUpOnTheSteadyClock();
    void drainingProgressStartsTheWaitAgain();
    void shutdownLetsQueuedBytesGoFirst();
    void shutdownCountsWhatWasNeverAcknowledged();
    void rixChangeDeliversWhatTheOldRixWasSent();
    void rixChangeWhileConnectingGoesToTheNewRix();
    void rixOutageIsWrittenAtEachEnd_data();
    void rixOutageIsWrittenAtEachEnd();

private:
    // Writes iplog.ini (data log off) and starts the relay on it.
    void StartRelay(int rixPort, int clientPort = 0, bool connectMode = false,
                    const QString& rixAddress = QStringLiteral("127.0.0.1"),
                    ReadinessBackend::Kind backend = ReadinessBackend::DefaultKind());
    // A RIX on 127.0.0.1, and the relay started in listen mode in front of it.
    Peer& StartWithRix();
    quint16 ListenPort() { return quint16(m_relay->wscktClient(0).LocalPort()); }
    // Connects a client and waits until the relay has greeted it.
    Client& AddGreetedClient();
    // The same, and waits until its RIX connection is up.
    Client& AddClient(Peer& rix, int expectedRixConnections);
    // The RIX reads nothing, and the relay's connection to it has small buffers at both ends, so what
    // the relay takes for it stays in the relay's own queue.
    QTcpSocket* StallRix(Peer& rix);

    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    RecordingErrors m_errors;
    RecordingView m_view;
    TestClock m_clock;
    std::unique_ptr<EventLog> m_events;
    std::unique_ptr<DataLog> m_data;
    std::unique_ptr<LastMessageLabels> m_labels;
    Heard m_heard;
    RelayEventHub m_told;
    SteppedClock m_relayClock;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<Peer> m_rix;
    std::vector<std::unique_ptr<Client>> m_clients;
};

void tst_relay::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_state = RuntimeState();
    m_errors.Reports.clear();
    m_view = RecordingView(&m_state);
    m_events = std::make_unique<EventLog>(m_state, m_clock, m_errors);
    m_data = std::make_unique<DataLog>(m_state, m_clock, m_errors);
    m_labels = std::make_unique<LastMessageLabels>(m_view);
    m_told = RelayEventHub();
    m_told.Add(*m_events);
    m_told.Add(*m_data);
    m_told.Add(*m_labels);
    m_heard = Heard();
    m_told.Add(m_heard);
}

void tst_relay::cleanup()
{
    m_clients.clear();
    m_relay.reset();
    m_rix.reset();
    m_labels.reset();
    m_data.reset();
    m_events.reset();
    m_dir.reset();
}

void tst_relay::StartRelay(int rixPort, int clientPort, bool connectMode, const QString& rixAddress,
                           ReadinessBackend::Kind backend)
{
    if (clientPort == 0)
        clientPort = FreePort(); // 0 is not a port: nothing would listen
    QVERIFY(WriteFile(m_dir->path() + QStringLiteral("/iplog.ini"),
                      SettingsFileText(rixPort, clientPort, !connectMode, false, rixAddress)));
    m_relay = std::make_unique<Relay>(m_state, m_view, m_errors, m_told, m_relayClock, backend);
    RunStartup(m_state, m_view, m_errors, *m_relay, m_dir->path());
    m_relay->tmrPoll.stop(); // the tests tick the poll themselves
}

Peer& tst_relay::StartWithRix()
{
    m_rix = std::make_unique<Peer>();
    [&] { QVERIFY(m_rix->Listen()); }();
    StartRelay(m_rix->Port());
    return *m_rix;
}

Client& tst_relay::AddGreetedClient()
{
    m_clients.push_back(std::make_unique<Client>());
    Client& client = *m_clients.back();
    [&] { QVERIFY(client.ConnectGreeted(ListenPort())); }();
    return client;
}

QTcpSocket* tst_relay::StallRix(Peer& rix)
{
    QTcpSocket* stalled = rix.At(0).Socket;
    StopReading(stalled);
    stalled->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 32768);
    const int small = 32768;
    if (setsockopt(int(m_relay->wsktServer(1).Descriptor()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small) != 0)
        qFatal("cannot shrink the relay's send buffer");
    return stalled;
}

Client& tst_relay::AddClient(Peer& rix, int expectedRixConnections)
{
    Client& client = AddGreetedClient();
    [&] { QTRY_COMPARE(rix.Count(), expectedRixConnections); }();
    return client;
}

void tst_relay::listenStartUp()
{
    Peer& rix = StartWithRix();
    QCOMPARE(m_view.Caption, Constants::CaptionDisconnected);
    QCOMPARE(m_view.PortSummary, QStringLiteral("RIX IP Port:%1/Client IP Port:%2").arg(rix.Port()).arg(ListenPort()));
    QVERIFY(m_relay->wscktClient(0).IsListening());
    QCOMPARE(m_state.ConnectionCount, qint16(0));
    QCOMPARE(m_state.LoginString, Login);
    QVERIFY(m_errors.Reports.isEmpty());

    AddClient(rix, 1);
    QCOMPARE(m_state.ConnectionCount, qint16(1));
    QCOMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    QCOMPARE(m_view.ClientLines, QStringList{QStringLiteral("127.0.0.1 -> Connected")});
    QTRY_COMPARE(m_view.Caption, Constants::CaptionConnected);
    QVERIFY(ReadAll(m_dir->path() + QStringLiteral("/Eventlog.txt")).endsWith("127.0.0.1          RIX Connected\r\n"));
}

void tst_relay::eachClientHasItsOwnRixConnection()
{
    Peer& rix = StartWithRix();
    Client& a = AddClient(rix, 1);
    Client& b = AddClient(rix, 2);
    Client& c = AddClient(rix, 3);
    // Every byte value passes unchanged; the data log shows the burst with its control bytes made visible.
    m_state.LogData = true;
    QByteArray all;
    for (int byte = 0; byte < 256; ++byte)
        all.append(char(byte));
    a.Socket.write(all);
    QTRY_COMPARE(rix.At(0).Received, all);
    QVERIFY(ReadAll(m_dir->path() + QStringLiteral("/DataLog.log")).startsWith(" 127.0.0.1: ^@^A^B"));
    b.Socket.write("from b");
    c.Socket.write("from c");
    QTRY_COMPARE(rix.At(1).Received, QByteArray("from b"));
    QTRY_COMPARE(rix.At(2).Received, QByteArray("from c"));
    rix.At(2).Socket->write("to c");
    rix.At(0).Socket->write("to a");
    QTRY_COMPARE(a.Received, Login + "to a");
    QTRY_COMPARE(c.Received, Login + "to c");
    QCOMPARE(b.Received, Login);
}

void tst_relay::zeroByteRule_data()
{
    QTest::addColumn<QByteArray>("fromRix");
    QTest::addColumn<QByteArray>("toClient");
    QTest::newRow("status frame keeps its second byte")
        << QByteArray("\x18\0\x07\0\x0d", 5) << QByteArray("\x18\0\x07\x0d", 4);
    QTest::newRow("25 keeps it too") << QByteArray("\x19\0\0A", 4) << QByteArray("\x19\0A", 3);
    QTest::newRow("other first byte") << QByteArray("\x01\0\x02\0", 4) << QByteArray("\x01\x02", 2);
    QTest::newRow("text unchanged") << QByteArray("plain text\r\n") << QByteArray("plain text\r\n");
    QTest::newRow("zero first") << QByteArray("\0\x18\0", 3) << QByteArray("\x18", 1);
}

void tst_relay::zeroByteRule()
{
    QFETCH(QByteArray, fromRix);
    QFETCH(QByteArray, toClient);
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    rix.At(0).Socket->write(fromRix);
    QTRY_COMPARE(client.Received, Login + toClient);
    QCOMPARE(m_view.LastRixMessage, DataLabel::LabelText(fromRix, QStringLiteral("127.0.0.1"))); // before the rule
}

void tst_relay::loginFilter_data()
{
    QTest::addColumn<bool>("first"); // the first burst of a fresh RIX connection
    QTest::addColumn<QByteArrayList>("fromRix"); // each one read of the relay's
    QTest::addColumn<bool>("rixEnds"); // then the RIX closes the connection
    QTest::addColumn<QByteArray>("toClient"); // relayed as one burst
    const QByteArrayList byteByByte = [] {
        QByteArrayList bytes;
        for (const char byte : Login)
            bytes.append(QByteArray(1, byte));
        return bytes;
    }();
    QTest::newRow("exactly the confirmation") << false << QByteArrayList{Login} << false << QByteArray();
    QTest::newRow("exactly the confirmation, first") << true << QByteArrayList{Login} << false << QByteArray();
    QTest::newRow("confirmation and more") << false << QByteArrayList{Login + "more"} << false << Login + "more";
    QTest::newRow("confirmation and more, first")
        << true << QByteArrayList{Login + "more"} << false << QByteArray("more");
    QTest::newRow("one byte differs") << false << QByteArrayList{"Login Sucessful\r\r"} << false
                                      << QByteArray("Login Sucessful\r\r");
    QTest::newRow("first byte differs, first")
        << true << QByteArrayList{"login Sucessful\r\nx"} << false << QByteArray("login Sucessful\r\nx");
    QTest::newRow("9 + 8") << false << QByteArrayList{"Login Suc", "essful\r\n"} << false << QByteArray();
    QTest::newRow("9 + 8, first") << true << QByteArrayList{"Login Suc", "essful\r\n"} << false << QByteArray();
    QTest::newRow("byte by byte") << false << byteByByte << false << QByteArray();
    QTest::newRow("byte by byte, first") << true << byteByByte << false << QByteArray();
    QTest::newRow("split, then more in the same read, first")
        << true << QByteArrayList{"Login Suc", "essful\r\nmore"} << false << QByteArray("more");
    QTest::newRow("split, then more in the same read")
        << false << QByteArrayList{"Login Suc", "essful\r\nmore"} << false << Login + "more";
    QTest::newRow("split, then more in a read of its own, first")
        << true << QByteArrayList{"Login Sucessful", "\r\n", "more"} << false << QByteArray("more");
    QTest::newRow("partial match that diverges")
        << false << QByteArrayList{"Login Suc", "cess!"} << false << QByteArray("Login Success!");
    QTest::newRow("partial match that diverges, first")
        << true << QByteArrayList{"L", "ogin", " failed\r\n"} << false << QByteArray("Login failed\r\n");
    QTest::newRow("prefix, nothing following")
        << false << QByteArrayList{"Login Suc"} << false << QByteArray("Login Suc");
    QTest::newRow("prefix, nothing following, first")
        << true << QByteArrayList{"Login Sucessful\r"} << false << QByteArray("Login Sucessful\r");
    QTest::newRow("prefix, then the RIX ends")
        << false << QByteArrayList{"Login Suc"} << true << QByteArray("Login Suc");
}

void tst_relay::loginFilter()
{
    QFETCH(bool, first);
    QFETCH(QByteArrayList, fromRix);
    QFETCH(bool, rixEnds);
    QFETCH(QByteArray, toClient);
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    QTRY_COMPARE(m_view.Caption, Constants::CaptionConnected);
    m_state.LogData = true;
    QTcpSocket* rixSide = rix.At(0).Socket;
    const QString rixAddress = QStringLiteral("127.0.0.1");
    QByteArray expected = Login;
    QByteArray log;
    const auto relayed = [&](const QByteArray& burst) {
        expected += burst;
        log += ' ' + rixAddress.toLatin1() + ": " + FormatDataBytes(burst);
    };
    if (!first) {
        rixSide->write("mark");
        relayed("mark");
        QTRY_COMPARE(client.Received, expected);
    }
    const QString labelBefore = m_view.LastRixMessage;
    for (const QByteArray& piece : fromRix) {
        rixSide->write(piece);
        QVERIFY(rixSide->flush());
        QVERIFY(QTest::qWaitFor([&] { return RelayHasRead(rixSide, m_relay->wsktServer(1)); }));
    }
    if (rixEnds) {
        rixSide->abort();
        QTRY_COMPARE(m_view.Caption, Constants::CaptionDisconnected);
        // Relayed before the end was handled, not when the hold ran out.
        QCOMPARE(m_view.LastRixMessage, DataLabel::LabelText(toClient, rixAddress));
    }
    if (!toClient.isEmpty())
        relayed(toClient);
    QTRY_COMPARE(client.Received, expected);
    QCOMPARE(m_view.LastRixMessage, toClient.isEmpty() ? labelBefore : DataLabel::LabelText(toClient, rixAddress));
    if (!rixEnds) {
        rixSide->write("mark");
        relayed("mark");
        QTRY_COMPARE(client.Received, expected);
    }
    QCOMPARE(ReadAll(m_dir->path() + QStringLiteral("/DataLog.log")), log);
}

void tst_relay::reusedSlotStartsClean()
{
    const quint16 port = FreePort();
    StartRelay(port);
    // The first client sends while the RIX is down, then leaves: its bytes cannot be delivered.
    Client& first = AddGreetedClient();
    for (int tick = 0; tick < 3; ++tick) {
        m_relay->OnPollTick();
        QCOMPARE(m_view.Caption, Constants::CaptionDisconnected);
    }
    first.Socket.write("meant for the first RIX connection");
    QTRY_VERIFY(!m_state.Slot(1).ClientData.isEmpty());
    QCOMPARE(m_relay->PendingTotal(), m_state.Slot(1).ClientData.size());
    first.Socket.disconnectFromHost();
    QTRY_VERIFY(!m_state.Slot(1).Connected);
    // They get one more connection attempt, which the RIX refuses: the outage's line, and the lost bytes.
    QTRY_COMPARE(m_relay->Draining.Count(), 0);
    QCOMPARE(m_errors.Reports.size(), 2);
    QCOMPARE(m_errors.Reports[0], QStringLiteral("Error Connecting to Switcher|Connection Error|%1").arg(ECONNREFUSED));
    QVERIFY2(
        m_errors.Reports[1].startsWith(QLatin1String("Error sending to Server: Socket #1 Len 34|TCP/IP Socket Error|")),
        qPrintable(m_errors.Reports[1]));
    // Nothing of them stays behind in the relay.
    QVERIFY(m_state.Slot(1).ClientData.isEmpty());
    QCOMPARE(m_relay->PendingTotal(), 0);

    // The slot's next client: the RIX speaks first, and nothing of the first client's reaches either.
    Peer rix;
    QVERIFY(rix.Listen(port));
    m_relay->OnPollTick();
    QTRY_COMPARE(rix.Count(), 1);
    Client& second = AddClient(rix, 1);
    QCOMPARE(m_state.ConnectionCount, qint16(1));
    rix.At(0).Socket->write("RIX first");
    QTRY_COMPARE(second.Received, Login + "RIX first");
    second.Socket.write("second");
    QTRY_COMPARE(rix.At(0).Received, QByteArray("second"));
}

void tst_relay::lowestFreeSlotIsReused()
{
    Peer& rix = StartWithRix();
    Client& first = AddClient(rix, 1);
    Client& second = AddClient(rix, 2);
    Client& third = AddClient(rix, 3);
    const auto leave = [&](Client& client, int slot) {
        client.Socket.disconnectFromHost();
        QTRY_VERIFY(m_heard.Clients.contains(QStringLiteral("left %1 closed").arg(slot)));
    };
    const auto arrives = [&](int slot) {
        AddGreetedClient();
        QCOMPARE(m_heard.Clients.last(), QStringLiteral("accepted %1").arg(slot));
    };
    leave(second, 2);
    arrives(2);
    // Freed in the order 3, 1: the lowest comes first all the same, and a new slot only when all are taken.
    leave(third, 3);
    leave(first, 1);
    arrives(1);
    arrives(3);
    arrives(4);
    QCOMPARE(m_state.ConnectionCount, qint16(4));
}

void tst_relay::rixConnectionGetsKeepAliveOnTheTick()
{
    Peer& rix = StartWithRix();
    AddClient(rix, 1);
    const auto option = [&](int level, int name) {
        int value = -1;
        socklen_t size = sizeof value;
        getsockopt(int(m_relay->wsktServer(1).Descriptor()), level, name, &value, &size);
        return value;
    };
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
    m_relay->OnPollTick();
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), NativeSocket::UserTimeoutMs);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), NativeSocket::KeepAliveIdleSeconds);
}

void tst_relay::heldBytesStayWithTheirClient()
{
    // The RIX begins something like a confirmation for a client that then leaves: the slot's next
    // client, on a new RIX connection, gets nothing of it.
    Peer& rix = StartWithRix();
    Client& first = AddClient(rix, 1);
    QTcpSocket* firstRix = rix.At(0).Socket;
    firstRix->write("Login Suc");
    QVERIFY(firstRix->flush());
    QVERIFY(QTest::qWaitFor([&] { return RelayHasRead(firstRix, m_relay->wsktServer(1)); }));
    first.Socket.disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return m_state.ConnectedClients == 0; }));
    Client& second = AddClient(rix, 2);
    QCOMPARE(m_state.ConnectionCount, qint16(1));
    rix.At(1).Socket->write("hello");
    QTRY_COMPARE(second.Received, Login + "hello");
}

void tst_relay::capReportedOnceWhileClientsCycle()
{
    // A client comes and goes at the cap again and again, another is refused each time: one line.
    StartWithRix();
    m_relay->Admission.MaxClients = 1;
    for (int cycle = 0; cycle < 50; ++cycle) {
        Client admitted;
        QVERIFY(admitted.ConnectGreeted(ListenPort()));
        Client refused;
        QVERIFY(refused.Connect(ListenPort()));
        QVERIFY(QTest::qWaitFor([&] { return refused.Closed; }));
        QCOMPARE(refused.Received, QByteArray());
        admitted.Socket.disconnectFromHost();
        QVERIFY(QTest::qWaitFor([&] { return m_state.ConnectedClients == 0; }));
    }
    QCOMPARE(m_errors.Reports,
             QStringList{QStringLiteral("Client Limit of 1 Reached: New Clients Refused|TCP/IP Connection Error|0")});
}

void tst_relay::lastWordsAndEndTogether_data()
{
    QTest::addColumn<ReadinessBackend::Kind>("backend");
    QTest::addColumn<bool>("connectMode");
    QTest::addColumn<bool>("rixEnds"); // else the client ends
    QTest::addColumn<bool>("halfClose"); // shutdown for writing, else close
    for (const auto backend : {ReadinessBackend::Kind::Epoll, ReadinessBackend::Kind::Notifiers}) {
        const char* name = backend == ReadinessBackend::Kind::Epoll ? "epoll" : "notifiers";
        QTest::addRow("%s, listen, client closes", name) << backend << false << false << false;
        QTest::addRow("%s, listen, client half-closes", name) << backend << false << false << true;
        QTest::addRow("%s, listen, RIX closes", name) << backend << false << true << false;
        QTest::addRow("%s, connect, client closes", name) << backend << true << false << false;
        QTest::addRow("%s, connect, RIX closes", name) << backend << true << true << false;
    }
}

void tst_relay::lastWordsAndEndTogether()
{
    // The commonest way a connection ends: the last bytes and the end arrive in one go.
    QFETCH(ReadinessBackend::Kind, backend);
    QFETCH(bool, connectMode);
    QFETCH(bool, rixEnds);
    QFETCH(bool, halfClose);
    Peer rix;
    Peer clientSide;
    QVERIFY(rix.Listen());
    QVERIFY(clientSide.Listen());
    StartRelay(rix.Port(), connectMode ? clientSide.Port() : 0, connectMode, QStringLiteral("127.0.0.1"), backend);
    QTcpSocket* client = nullptr;
    QByteArray* toClient = nullptr;
    if (connectMode) {
        QTRY_COMPARE(clientSide.Count(), 1);
        QTRY_COMPARE(rix.Count(), 1);
        client = clientSide.At(0).Socket;
        toClient = &clientSide.At(0).Received;
    } else {
        Client& accepted = AddClient(rix, 1);
        client = &accepted.Socket;
        toClient = &accepted.Received;
    }
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    QTRY_COMPARE(m_view.Caption, Constants::CaptionConnected);
    const QByteArray greeting = *toClient;

    QTcpSocket* ending = rixEnds ? rix.At(0).Socket : client;
    ending->write("last words");
    QVERIFY(ending->flush());
    if (halfClose)
        QCOMPARE(::shutdown(int(ending->socketDescriptor()), SHUT_WR), 0);
    else
        ending->abort();

    if (rixEnds) {
        QTRY_COMPARE(*toClient, greeting + "last words");
        QTRY_COMPARE(m_view.Caption, Constants::CaptionDisconnected);
        // The client stays, and what it sends next waits for the poll's new RIX connection.
        client->write("next");
        m_relay->OnPollTick();
        QTRY_COMPARE(rix.Count(), 2);
        QTRY_COMPARE(rix.At(1).Received, QByteArray("next"));
        QCOMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    } else {
        QTRY_COMPARE(rix.At(0).Received, QByteArray("last words"));
        QTRY_VERIFY(rix.At(0).Closed); // the slot's RIX connection ends with its client
        QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0000"));
        QVERIFY(m_view.ClientLines.isEmpty());
        QVERIFY(ReadAll(m_dir->path() + QStringLiteral("/Eventlog.txt")).endsWith("RIX Disconnected\r\n"));
        if (halfClose)
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        m_relay->OnPollTick();
        if (connectMode)
            QTRY_COMPARE(clientSide.Count(), 2); // connect mode connects again
        QTRY_COMPARE(rix.OpenCount(), 1);
    }
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_relay::largeBurstsBothWays()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    const QByteArray up = Pattern(16 * 1024 * 1024, 1);
    const QByteArray down = Pattern(16 * 1024 * 1024, 2);
    client.Socket.write(up);
    rix.At(0).Socket->write(down);
    QTRY_COMPARE_WITH_TIMEOUT(rix.At(0).Received.size(), up.size(), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(client.Received.size(), Login.size() + down.size(), 30000);
    QVERIFY(rix.At(0).Received == up);
    QVERIFY(client.Received.mid(Login.size()) == down);
}

void tst_relay::slowClientKeepsMemoryBounded()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    // The client stops reading; the RIX streams far more than the bound.
    StopReading(&client.Socket);
    const QByteArray stream = Pattern(48 * 1024 * 1024, 3);
    rix.At(0).Socket->write(stream);
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->wsktServer(1).IsReadingPaused(), 20000);
    QVERIFY(m_relay->wscktClient(1).PendingOutput() <= SlotPath::PendingOutputBound + SlotPath::ReadBufferSize);
    QVERIFY(rix.At(0).Socket->bytesToWrite() > 0); // the rest waits at the sender, not in the relay

    // Once the client reads again, every byte arrives, in order.
    ReadAgain(&client.Socket, client.Received);
    QTRY_COMPARE_WITH_TIMEOUT(client.Received.size(), Login.size() + stream.size(), 30000);
    QVERIFY(client.Received == Login + stream);
}

void tst_relay::dataWaitingForTheRixIsBounded()
{
    const quint16 port = FreePort();
    StartRelay(port);
    Client& client = AddGreetedClient();
    // The RIX is down and the client sends far more than the bound: the relay stops reading it.
    const QByteArray stream = Pattern(32 * 1024 * 1024, 4);
    client.Socket.write(stream);
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->wscktClient(1).IsReadingPaused(), 20000);
    QVERIFY(m_state.Slot(1).ClientData.size() <= SlotPath::PendingOutputBound + SlotPath::ReadBufferSize);

    // The RIX comes up: every byte arrives, in order, with no further send from the client.
    Peer rix;
    QVERIFY(rix.Listen(port));
    m_relay->OnPollTick();
    QTRY_COMPARE(rix.Count(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(rix.At(0).Received.size(), stream.size(), 30000);
    QVERIFY(rix.At(0).Received == stream);
}

void tst_relay::totalWaitingIsBounded()
{
    Peer& rix = StartWithRix();
    constexpr qint64 total = 512 * 1024;
    // Every slot's RIX floods while its client reads nothing: each one alone stays under its own bound,
    // together they would hold several times the total.
    constexpr int busySlots = 8;
    for (int i = 0; i < busySlots; ++i)
        StopReading(&AddClient(rix, i + 1).Socket);
    m_relay->SetTotalPendingBound(total);
    std::vector<QByteArray> streams;
    for (int i = 0; i < busySlots; ++i) {
        streams.push_back(Pattern(12 * 1024 * 1024, quint32(20 + i)));
        rix.At(i).Socket->write(streams.back());
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (int i = 1; i <= busySlots; ++i) {
                if (!m_relay->wsktServer(i).IsReadingPaused())
                    return false;
            }
            return true;
        }(),
        30000);
    // Past the total, a source is read only while nothing waits for its destination, one chunk at a time.
    QVERIFY(m_relay->PendingTotal() <= total + SlotPath::ReadBufferSize + busySlots * ChunkPool::ChunkSize);

    // Once the clients read, every byte reaches its own client, in order.
    for (const auto& client : m_clients)
        ReadAgain(&client->Socket, client->Received);
    for (size_t i = 0; i < busySlots; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(m_clients[i]->Received.size(), Login.size() + streams[i].size(), 30000);
        QVERIFY(m_clients[i]->Received == Login + streams[i]);
    }
    QCOMPARE(m_relay->PendingTotal(), 0);
}

void tst_relay::newClientsWaitForRoom()
{
    Peer& rix = StartWithRix();
    Client& first = AddClient(rix, 1);
    QTcpSocket* stalled = StallRix(rix);
    m_relay->SetTotalPendingBound(SlotPath::PendingOutputBound / 4);
    // The first client sends bytes the RIX does not take: the relay is past its total bound.
    const QByteArray firstBytes = Pattern(2 * SlotPath::PendingOutputBound, 40);
    first.Socket.write(firstBytes);
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->PendingTotal() >= SlotPath::PendingOutputBound / 4, 20000);
    // The next client is greeted, but neither read nor given a RIX connection.
    const int rixConnections = rix.Count();
    Client& second = AddGreetedClient();
    second.Socket.write("waits its turn");
    QCOMPARE(m_relay->WaitingForRoom(), 1);
    m_relay->OnPollTick();
    QCOMPARE(rix.Count(), rixConnections);
    QCOMPARE(m_state.Slot(2).ClientData, QByteArray());
    // Once the RIX reads, there is room: the second client gets its connection and its bytes arrive.
    ReadAgain(stalled, rix.At(0).Received);
    QTRY_VERIFY_WITH_TIMEOUT((m_relay->OnPollTick(), m_relay->WaitingForRoom() == 0), 20000);
    QTRY_COMPARE(rix.Count(), rixConnections + 1);
    QTRY_COMPARE(rix.At(rixConnections).Received, QByteArray("waits its turn"));
    QTRY_COMPARE_WITH_TIMEOUT(rix.At(0).Received, firstBytes, 20000);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_relay::clientGoneWhilePausedIsNoticed()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    // The client stops reading: the RIX's bytes pile up to the bound and the relay stops reading the RIX.
    StopReading(&client.Socket);
    rix.At(0).Socket->write(Pattern(32 * 1024 * 1024, 9));
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->wsktServer(1).IsReadingPaused(), 20000);
    // The client resets: its slot is freed, and what it was never given is counted in the error log.
    // The reset itself is a client leaving, not a failure.
    Reset(&client.Socket);
    QTRY_COMPARE(m_state.ConnectedClients, qint16(0));
    QVERIFY(!m_state.Slot(1).Connected);
    QVERIFY(!m_relay->wsktServer(1).HasConnection());
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY2(
        QRegularExpression(QStringLiteral("^Error sending to RIX: Socket #1 Len [1-9]\\d*\\|TCP/IP Socket Error\\|%1$")
                               .arg(FailureCode::NotConnected))
            .match(m_errors.Reports[0])
            .hasMatch(),
        qPrintable(m_errors.Reports[0]));
}

void tst_relay::failedRixReadNamesTheRixAddress()
{
    // Any 127.x.y.z address is this machine; this one tells the RIX address apart from 127.0.0.1.
    Peer rix;
    QVERIFY(rix.Server.listen(QHostAddress(QStringLiteral("127.0.0.2"))));
    StartRelay(rix.Port(), 0, false, QStringLiteral("127.0.0.2"));
    AddClient(rix, 1);
    Reset(rix.At(0).Socket);
    QTRY_COMPARE(m_view.Caption, Constants::CaptionDisconnected);
    QCOMPARE(m_errors.Reports,
             QStringList{QStringLiteral("Socket Error #%1(127.0.0.2)|TCP/IP Message Error|0").arg(ECONNRESET)});
}

void tst_relay::connectMode()
{
    Peer rix(true);
    Peer clientSide;
    QVERIFY(rix.Listen());
    QVERIFY(clientSide.Listen());
    StartRelay(rix.Port(), clientSide.Port(), true);
    QCOMPARE(m_state.ConnectionCount, qint16(1));
    QCOMPARE(m_relay->wscktClient.Count(), 2);
    QTRY_COMPARE(rix.Count(), 1);
    QTRY_COMPARE(clientSide.Count(), 1);
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    QCOMPARE(m_view.ClientLines, QStringList{QStringLiteral("127.0.0.1 -> Connected")});

    // The RIX's confirmation is dropped here too, and the relay sends none of its own in this mode.
    clientSide.At(0).Socket->write("request");
    QTRY_COMPARE(rix.At(0).Received, QByteArray("request"));
    rix.At(0).Socket->write("answer");
    QTRY_COMPARE(clientSide.At(0).Received, QByteArray("answer"));
    // Its arrival is told as well as its leaving would be; the event log has no line for it.
    QCOMPARE(m_heard.Clients, QStringList{"connected out 1"});
    QVERIFY(!QFile::exists(m_dir->filePath(EventLog::FileName())));
    // The far end leaving, and the poll connecting both sides again, is in lastWordsAndEndTogether.
}

void tst_relay::shutdownClosesEverySocket()
{
    Peer& rix = StartWithRix();
    Client& a = AddClient(rix, 1);
    Client& b = AddClient(rix, 2);
    QCOMPARE(m_heard.Clients, QStringList({"accepted 1", "accepted 2"}));
    QSignalSpy aClosed(&a.Socket, &QTcpSocket::disconnected);
    QSignalSpy bClosed(&b.Socket, &QTcpSocket::disconnected);
    RunShutdown(m_state, m_errors, *m_relay);
    QVERIFY(m_relay->IsClosed()); // nothing was queued: no drain to wait for
    QCOMPARE(m_heard.Clients, QStringList({"accepted 1", "accepted 2", "left 1 shutdown", "left 2 shutdown"}));
    QTRY_COMPARE(aClosed.count(), 1);
    QTRY_COMPARE(bClosed.count(), 1);
    QTRY_COMPARE(rix.OpenCount(), 0);
    QVERIFY(!m_relay->wscktClient(0).IsListening());
    QVERIFY(QFile::exists(m_dir->path() + QStringLiteral("/iplog.ini")));
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_relay::repeatedConnectFailureIsWrittenOnce()
{
    // Not a dotted address: every attempt on every slot fails the same way.
    Peer rix;
    QVERIFY(rix.Listen());
    StartRelay(rix.Port(), 0, false, QStringLiteral("rix-gateway.plant.local"));
    for (int i = 0; i < 3; ++i)
        AddGreetedClient();
    for (int tick = 0; tick < 5; ++tick)
        m_relay->OnPollTick();
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY(m_errors.Reports[0].startsWith(
        QStringLiteral("Error Connecting to Switcher|Connection Error|%1").arg(FailureCode::AddressNotAvailable)));
}

void tst_relay::leavingClientsBytesReachASlowRix()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    // The RIX reads nothing for now; the client sends what the relay takes in whole (no more than its
    // bound) and leaves.
    QTcpSocket* slow = StallRix(rix);
    const QByteArray sent = Pattern(SlotPath::PendingOutputBound, 11);
    client.Socket.write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(client.Socket.bytesToWrite(), 0, 20000);
    client.Socket.disconnectFromHost();
    // The slot is free at once; its RIX connection drains on its own.
    QTRY_COMPARE(m_state.ConnectedClients, qint16(0));
    QCOMPARE(m_relay->Draining.Count(), 1);
    QVERIFY(m_relay->Draining.Queued() > 0);
    QVERIFY(!m_relay->wsktServer(1).HasConnection());

    QByteArray& received = rix.At(0).Received;
    ReadAgain(slow, received);
    QTRY_VERIFY_WITH_TIMEOUT(rix.At(0).Closed, 20000);
    received += slow->readAll();
    QCOMPARE(received.size(), sent.size());
    QVERIFY(received == sent);
    QCOMPARE(m_relay->Draining.Count(), 0);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_relay::burstLeavesAtMostFourWarmRixConnections()
{
    Peer& rix = StartWithRix();
    for (int i = 1; i <= 8; ++i)
        AddClient(rix, i);
    for (size_t i = 0; i < m_clients.size(); ++i) {
        if (i != 1) // slot 2 stays busy, the other seven leave
            m_clients[i]->Socket.disconnectFromHost();
    }
    QTRY_COMPARE(m_state.ConnectedClients, qint16(1));
    QTRY_COMPARE(rix.OpenCount(), 1);
    for (int tick = 0; tick < 3; ++tick) {
        m_relay->OnPollTick();
        QTRY_COMPARE(rix.OpenCount(), 1 + Relay::WarmSlots);
    }
    // The warm ones are the lowest free slots: the next client takes slot 1's, and no new slot.
    const int before = rix.Count();
    AddClient(rix, before);
    QVERIFY(m_relay->wscktClient(1).IsConnected());
    QCOMPARE(m_state.ConnectionCount, qint16(8));
    QCOMPARE(m_view.ClientLines.size(), 2);
}

void tst_relay::connectionToItselfIsRefused()
{
    const quint16 port = FreePort();
    StartRelay(port, port); // the RIX address and port are our own client port
    AddGreetedClient();
    for (int tick = 0; tick < 3; ++tick)
        m_relay->OnPollTick();
    QTRY_COMPARE(m_state.ConnectedClients, qint16(1)); // no client made of our own connections
    QCOMPARE(m_state.ConnectionCount, qint16(1));
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY(m_errors.Reports[0].startsWith(QLatin1String("Error Connecting to Switcher|Connection Error|")));
}

// The caption said "Connected" for the old RIX; a RIX port that leads back here must not keep it.
void tst_relay::rixMovedOntoOurOwnPortSaysDisconnected()
{
    Peer& rix = StartWithRix();
    AddClient(rix, 1);
    QTRY_COMPARE(m_view.Caption, Constants::CaptionConnected);
    m_state.RixIPPort = ListenPort();
    m_relay->ReconnectRixSide();
    QCOMPARE(m_view.Caption, Constants::CaptionDisconnected);
    QTRY_VERIFY(rix.At(0).Closed);
    for (int tick = 0; tick < 3; ++tick) {
        m_relay->OnPollTick();
        QCOMPARE(m_view.Caption, Constants::CaptionDisconnected);
    }
    QCOMPARE(m_state.ConnectedClients, qint16(1));
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY(m_errors.Reports[0].startsWith(QLatin1String("Error Connecting to Switcher|Connection Error|")));
}

void tst_relay::failedConnectClearsTheClientLine()
{
    Peer rix;
    Peer clientSide;
    QVERIFY(rix.Listen());
    const quint16 port = FreePort();
    QVERIFY(clientSide.Listen(port));
    StartRelay(rix.Port(), port, true);
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    // The client goes, and stops listening: the attempts to reach it again fail.
    clientSide.Server.close();
    clientSide.At(0).Socket->abort();
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0000"));
    for (int tick = 0; tick < 3; ++tick) {
        m_relay->OnPollTick();
        QTRY_VERIFY(!m_relay->wscktClient(1).IsConnecting());
        QVERIFY(m_view.ClientLines.isEmpty());
        QCOMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0000"));
        QVERIFY(!m_state.Slot(1).Connected);
    }
    // The client's outage is written once, however many attempts fail.
    QCOMPARE(m_errors.Reports,
             QStringList{QStringLiteral("Error Connecting to Client|Connection Error|%1").arg(ECONNREFUSED)});
}

void tst_relay::modeSwitchListensOrConnects()
{
    Peer rix;
    Peer clientSide;
    QVERIFY(rix.Listen());
    QVERIFY(clientSide.Listen());
    StartRelay(rix.Port());
    AddClient(rix, 1);

    // Listen to connect: the client is dropped, the listener closes, and slot 1 connects out.
    m_state.OperationMode = Constants::ConnectMode;
    m_state.ClientIPPort = clientSide.Port();
    m_relay->CloseClientSide();
    QTRY_COMPARE(m_state.ConnectedClients, qint16(0));
    QVERIFY(!m_relay->wscktClient(0).IsListening());
    m_relay->OnPollTick();
    QTRY_COMPARE(clientSide.Count(), 1);
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
    clientSide.At(0).Socket->write("connected out");
    QTRY_VERIFY(std::any_of(rix.Connections.begin(), rix.Connections.end(),
                            [](const auto& c) { return c->Received == "connected out"; }));

    // And back: the connection out ends, and the relay listens on the client port again.
    m_state.OperationMode = Constants::ListenMode;
    m_state.ClientIPPort = FreePort();
    m_relay->CloseClientSide();
    QTRY_VERIFY(clientSide.At(0).Closed);
    QVERIFY(m_relay->wscktClient(0).IsListening());
    AddGreetedClient();
    QTRY_COMPARE(m_view.ConnectionCount, QStringLiteral("Client Connections: 0001"));
}

void tst_relay::drainingGivesUpAndSaysHowMuchWasLost_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("queued in the relay") << qsizetype(SlotPath::PendingOutputBound);
    QTest::newRow("held by the kernel only") << qsizetype(80 * 1024);
}

void tst_relay::drainingGivesUpAndSaysHowMuchWasLost()
{
    QFETCH(qsizetype, size);
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    StallRix(rix);
    // The relay takes all of it, and the client leaves in order.
    const QByteArray sent = Pattern(size, 12);
    client.Socket.write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(client.Socket.bytesToWrite(), 0, 20000);
    SocketObject& toRix = m_relay->wsktServer(1);
    int unacknowledged = 0;
    QTRY_VERIFY((::ioctl(int(toRix.Descriptor()), SIOCOUTQ, &unacknowledged), unacknowledged > 0));
    QCOMPARE(toRix.PendingOutput() > 0, size == SlotPath::PendingOutputBound);
    client.Socket.disconnectFromHost();
    // The slot is free at once; its RIX connection stays while the RIX has not acknowledged everything.
    QTRY_COMPARE(m_state.ConnectedClients, qint16(0));
    QCOMPARE(m_relay->Draining.Count(), 1);
    QVERIFY(!m_relay->wsktServer(1).HasConnection());

    // Once the RIX has acknowledged what its kernel holds (acknowledgements may be delayed), half a
    // minute without progress passes on the relay's clock.
    Peer::Connection& stalled = rix.At(0);
    QTRY_VERIFY([&] {
        m_relay->OnPollTick(); // the pool notes the progress those acknowledgements make
        int inKernel = 0;
        ::ioctl(int(stalled.Socket->socketDescriptor()), SIOCINQ, &inKernel);
        const qint64 atRix = stalled.Received.size() + stalled.Socket->bytesAvailable() + inKernel;
        return atRix + m_relay->Draining.Queued() == sent.size();
    }());
    m_relayClock.Step(DrainingPool::NoProgressTimeoutMs + 1);
    QTRY_VERIFY((m_relay->OnPollTick(), m_relay->Draining.Count() == 0));
    CheckExactLoss(m_errors.Reports, m_heard.FromClient, rix.At(0), sent);
}

// A RIX connection that is never answered, handed to the pool with bytes waiting for it, can make no
// progress: the pool gives up on it once the timeout has passed on the steady clock, and not before.
void tst_relay::drainingGivesUpOnTheSteadyClock()
{
    SilentRix silent;
    PoolOnTestClock bench(m_errors, m_heard, m_clock);
    DrainingPool& pool = bench.Pool;
    SocketObject& rix = bench.ConnectTo(silent.Port);
    pool.Take(1, rix, Pattern(1000, 16));
    m_clock.Moment = m_clock.Moment.addSecs(-3600); // the system time set back changes nothing
    m_clock.Monotonic += DrainingPool::NoProgressTimeoutMs;
    pool.Check();
    QCOMPARE(pool.Count(), 1);
    QVERIFY(m_errors.Reports.isEmpty());
    m_clock.Monotonic += 1;
    pool.Check();
    QCOMPARE(pool.Count(), 0);
    QCOMPARE(m_errors.Reports.size(), 1);
    QCOMPARE(TimedOutLength(m_errors.Reports[0]), 1000);
    QCOMPARE(m_heard.FromClient, 1000);
}

// The wait is for a time without progress: bytes the RIX takes start it again.
void tst_relay::drainingProgressStartsTheWaitAgain()
{
    Peer rix;
    rix.Read = false;
    QVERIFY(rix.Listen());
    PoolOnTestClock bench(m_errors, m_heard, m_clock);
    DrainingPool& pool = bench.Pool;
    SocketObject& toRix = bench.ConnectTo(rix.Port());
    QTRY_VERIFY(toRix.IsConnected() && rix.Count() == 1);
    const QByteArray sent = Pattern(4 * 1024 * 1024, 17);
    QVERIFY(toRix.Write(sent));
    pool.Take(1, toRix, {});
    const qint64 start = m_clock.Monotonic;

    // Two thirds of the way, the RIX reads a little.
    m_clock.Monotonic = start + 2 * DrainingPool::NoProgressTimeoutMs / 3;
    const qint64 before = pool.Queued();
    char buffer[65536];
    QVERIFY(::recv(int(rix.At(0).Socket->socketDescriptor()), buffer, sizeof buffer, MSG_DONTWAIT) > 0);
    QTRY_VERIFY((pool.Check(), pool.Queued() < before));
    // Past the timeout counted from the start, the connection is still given its time.
    m_clock.Monotonic = start + DrainingPool::NoProgressTimeoutMs + 1;
    pool.Check();
    QCOMPARE(pool.Count(), 1);
    QVERIFY(m_errors.Reports.isEmpty());
    // Once the RIX takes nothing for the whole timeout, the pool gives up and counts what it lost.
    QTRY_VERIFY((m_clock.Monotonic += DrainingPool::NoProgressTimeoutMs + 1, pool.Check(), pool.Count() == 0));
    QCOMPARE(m_errors.Reports.size(), 1);
    const qint64 lost = TimedOutLength(m_errors.Reports[0]);
    QVERIFY2(lost > 0 && lost < sent.size(), qPrintable(m_errors.Reports[0]));
}

void tst_relay::shutdownLetsQueuedBytesGoFirst()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    // The RIX is slow: more than the kernel buffers hold waits in the relay when shutdown begins.
    QTcpSocket* slow = rix.At(0).Socket;
    StopReading(slow);
    const QByteArray sent = Pattern(32 * 1024 * 1024, 13);
    client.Socket.write(sent);
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->wscktClient(1).IsReadingPaused(), 20000);
    // What the relay has taken from the client: queued in it, and in the kernel on the way to the RIX.
    int inKernel = 0;
    int unsent = 0;
    QCOMPARE(::ioctl(int(slow->socketDescriptor()), SIOCINQ, &inKernel), 0);
    QCOMPARE(::ioctl(int(m_relay->wsktServer(1).Descriptor()), SIOCOUTQ, &unsent), 0);
    const qint64 taken = slow->bytesAvailable() + inKernel + unsent + m_relay->wsktServer(1).PendingOutput();
    QByteArray& received = rix.At(0).Received;
    // The shutdown stops reading at once and drains in the event loop: the RIX reads again only then.
    RunShutdown(m_state, m_errors, *m_relay);
    QVERIFY(!m_relay->IsClosed());
    ReadAgain(slow, received);
    QTRY_VERIFY(m_relay->IsClosed()); // once the reader has taken all, well before the drain's time is up
    QVERIFY(!m_relay->wsktServer(1).HasConnection());
    QTRY_VERIFY(rix.At(0).Closed);
    received += slow->readAll();
    // Everything the relay had taken from the client arrived, in order; the rest stayed with the client.
    QCOMPARE(received.size(), taken);
    QVERIFY(sent.startsWith(received));
}

void tst_relay::shutdownCountsWhatWasNeverAcknowledged()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    StallRix(rix);
    const QByteArray sent = Pattern(SlotPath::PendingOutputBound, 14);
    client.Socket.write(sent);
    QTRY_VERIFY_WITH_TIMEOUT(RelayTookAll(client.Socket, m_relay->wscktClient(1)), 20000);
    // The RIX reads nothing through the shutdown: what it never acknowledged is counted, and not sent.
    RunShutdown(m_state, m_errors, *m_relay);
    QVERIFY(!m_relay->IsClosed());
    // New settings applied while it drains (a reload, say) open nothing again.
    m_relay->CloseClientSide();
    QVERIFY(!m_relay->wscktClient(0).IsListening());
    // Once the RIX has acknowledged what its kernel holds (acknowledgements may be delayed), the
    // drain's time is up on the relay's clock, not after waiting for it.
    Peer::Connection& stalled = rix.At(0);
    SocketObject& toRix = m_relay->wsktServer(1);
    QTRY_VERIFY([&] {
        int inKernel = 0;
        ::ioctl(int(stalled.Socket->socketDescriptor()), SIOCINQ, &inKernel);
        const qint64 atRix = stalled.Received.size() + stalled.Socket->bytesAvailable() + inKernel;
        return atRix + toRix.PendingOutput() + toRix.Unacknowledged() == sent.size();
    }());
    m_relayClock.Step(Relay::ShutdownDrainMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_relay->IsClosed(), Relay::ShutdownDrainMs / 2);
    CheckExactLoss(m_errors.Reports, m_heard.FromClient, stalled, sent);
}

void tst_relay::rixChangeDeliversWhatTheOldRixWasSent()
{
    Peer& rix = StartWithRix();
    Client& client = AddClient(rix, 1);
    StallRix(rix);
    const QByteArray sent = Pattern(SlotPath::PendingOutputBound, 15);
    client.Socket.write(sent);
    QTRY_VERIFY_WITH_TIMEOUT(RelayTookAll(client.Socket, m_relay->wscktClient(1)), 20000);
    // A new RIX while the old one still holds unread bytes: the slot connects to the new one at once,
    // the old connection drains what it was sent.
    Peer other;
    QVERIFY(other.Listen());
    m_state.RixIPPort = other.Port();
    m_relay->ReconnectRixSide();
    QTRY_COMPARE(other.Count(), 1);
    QCOMPARE(m_relay->Draining.Count(), 1);
    client.Socket.write("to the new RIX");
    QTRY_COMPARE(other.At(0).Received, QByteArray("to the new RIX"));
    QVERIFY(ReadToTheEnd(rix.At(0)) == sent);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_relay::rixChangeWhileConnectingGoesToTheNewRix()
{
    SilentRix old;
    StartRelay(old.Port);
    Client& client = AddGreetedClient();
    QTRY_VERIFY(m_relay->wsktServer(1).IsConnecting());
    // The operator points the relay at another RIX while the attempt to the old one is under way.
    m_rix = std::make_unique<Peer>();
    QVERIFY(m_rix->Listen());
    m_state.RixIPPort = m_rix->Port();
    m_relay->ReconnectRixSide();
    // The old RIX answers again a moment later: the slot stays with the new one.
    QCOMPARE(old.AcceptAll(), 0);
    QTRY_COMPARE(m_rix->Count(), 1);
    client.Socket.write("for the new RIX");
    QTRY_COMPARE(m_rix->At(0).Received, QByteArray("for the new RIX"));
    m_relay->OnPollTick();
    QTRY_COMPARE(m_rix->At(0).Received, QByteArray("for the new RIX"));
    QCOMPARE(old.AcceptAll(), 0);
}

void tst_relay::rixOutageIsWrittenAtEachEnd_data()
{
    QTest::addColumn<bool>("answers"); // the RIX refuses at once, or never answers at all
    QTest::addColumn<int>("code");
    QTest::newRow("refused") << true << ECONNREFUSED;
    QTest::newRow("no answer") << false << FailureCode::TimedOut;
}

void tst_relay::rixOutageIsWrittenAtEachEnd()
{
    QFETCH(bool, answers);
    QFETCH(int, code);
    std::unique_ptr<SilentRix> silent = answers ? nullptr : std::make_unique<SilentRix>();
    const quint16 port = answers ? FreePort() : silent->Port;
    StartRelay(port);
    for (int i = 0; i < 3; ++i)
        AddGreetedClient();
    // However long it lasts, and on however many slots: one line when it begins.
    const QString down = QStringLiteral("Error Connecting to Switcher|Connection Error|%1").arg(code);
    if (!answers)
        m_relayClock.Step(SocketObject::ConnectTimeoutMs); // the attempts have had no answer for so long
    QTRY_VERIFY_WITH_TIMEOUT((m_relay->OnPollTick(), !m_errors.Reports.isEmpty()), SocketObject::ConnectTimeoutMs / 2);
    for (int tick = 0; tick < 3; ++tick)
        m_relay->OnPollTick();
    QCOMPARE(m_errors.Reports, QStringList{down});
    QVERIFY(m_relay->RixLink().IsDown());
    QCOMPARE(m_heard.Links, QStringList{"RIX down"});
    // And one when a connection completes again, with how long it was down.
    silent.reset();
    Peer& rix = *(m_rix = std::make_unique<Peer>());
    QVERIFY(rix.Listen(port));
    QTRY_VERIFY((m_relay->OnPollTick(), rix.Count() >= 3));
    for (int tick = 0; tick < 3; ++tick)
        m_relay->OnPollTick();
    QCOMPARE(m_errors.Reports.size(), 2);
    QCOMPARE(m_heard.Links, QStringList({"RIX down", "RIX up"}));
    QVERIFY2(QRegularExpression(QStringLiteral("^Switcher Connection Restored to 127\\.0\\.0\\.1:%1 after \\d+ s "
                                               "down\\|Connection Error\\|0$")
                                    .arg(port))
                 .match(m_errors.Reports[1])
                 .hasMatch(),
             qPrintable(m_errors.Reports[1]));
    QVERIFY(m_relay->RixLink().IsUp());
}

TOLVANE_TEST_MAIN(tst_relay)
#include "tst_relay.moc"
