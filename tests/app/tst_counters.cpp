#include "app/Engine.h"
#include "app/MetricsText.h"
#include "core/RelayCounters.h"
#include "core/RuntimeState.h"
#include "support/DispatcherSupport.h"
#include "support/LoopbackSupport.h"
#include "support/TestSupport.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/socket.h>

namespace {

// Ends the connection with a reset rather than an orderly close.
void Reset(QTcpSocket& socket)
{
    const linger hard{1, 0};
    QCOMPARE(setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    socket.abort();
}

// The value of one sample in the exposition text; -1 when it is not there.
double Sample(const QByteArray& text, const QString& series)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(series.toUtf8() + ' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return -1;
}

} // namespace

// The engine's counters, its metrics text and the session lines, driven by real clients and a real RIX.
class tst_counters : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void countsAreExact();
    void sessionLines_data();
    void sessionLines();

private:
    void Start(bool quietSessions = false, bool logData = false);
    QString Journal();
    // The client's own port, as the relay sees it.
    static quint16 PortOf(const Client& client) { return client.Socket.localPort(); }

    JournalCapture m_journal;
    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    NullStatusView m_view;
    std::unique_ptr<Peer> m_rix;
    std::unique_ptr<Engine> m_engine;
};

void tst_counters::initTestCase()
{
    QVERIFY(m_journal.Start());
}

void tst_counters::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = RuntimeState();
    m_rix = std::make_unique<Peer>();
    QVERIFY(m_rix->Listen());
    m_engine = std::make_unique<Engine>(m_state, m_view);
}

void tst_counters::cleanup()
{
    m_engine.reset();
    m_rix.reset();
    m_dir.reset();
}

void tst_counters::Start(bool quietSessions, bool logData)
{
    QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")),
                      SettingsFileText(m_rix->Port(), FreePort(), true, logData)));
    Options options;
    options.MaxClients = 2;
    AllowedNetwork local;
    QVERIFY(ParseAllowedNetwork(QStringLiteral("127.0.0.1"), local));
    options.Allowed = {local};
    options.QuietSessions = quietSessions;
    m_engine->ApplyOptions(options);
    m_engine->Start(m_dir->path());
    Journal(); // what start-up wrote is not this test's
}

QString tst_counters::Journal()
{
    return m_journal.Fresh();
}

// Known bytes each way, a zero the rule removes, a client the cap turns away and one the allow-list
// does: every count is exact, in the counters and in the metrics text.
void tst_counters::countsAreExact()
{
    Start(false, true);
    const quint16 port = quint16(m_engine->Net.wscktClient(0).LocalPort());
    Client first;
    Client second;
    QVERIFY(first.ConnectGreeted(port));
    QVERIFY(second.ConnectGreeted(port));
    QTRY_COMPARE(m_rix->Count(), 2);
    first.Socket.write("hello");
    QTRY_COMPARE(m_rix->AllReceived, QByteArray("hello"));
    Peer::Connection* link = nullptr;
    for (int i = 0; i < m_rix->Count(); ++i) {
        if (m_rix->At(i).Received == "hello")
            link = &m_rix->At(i);
    }
    QVERIFY(link);
    link->Socket->write(QByteArray("a\0b", 3));
    QTRY_COMPARE(first.Received, Login + "ab");

    Client atCap;
    QVERIFY(atCap.Connect(port));
    QTRY_VERIFY(atCap.Closed);
    Client notAllowed(QStringLiteral("127.0.0.2"));
    QVERIFY(notAllowed.Connect(port));
    QTRY_VERIFY(notAllowed.Closed);

    const RelayCounters& counters = m_engine->Counters;
    const RelayCounters::Session& session = counters.Sessions().at(1);
    QVERIFY(session.Present);
    QCOMPARE(session.Port, PortOf(first));
    QCOMPARE(session.FromClientBytes, 5);
    QCOMPARE(session.FromClientBursts, 1);
    QCOMPARE(session.ToClientBytes, first.Received.size());
    QCOMPARE(session.ToClientBursts, 1);
    QCOMPARE(session.ZerosRemoved, 1);
    QCOMPARE(counters.All().Accepted, 2);
    QCOMPARE(counters.All().RefusedAtCap, 1);
    QCOMPARE(counters.All().RefusedNotAllowed, 1);
    QCOMPARE(counters.All().FromClientsBytes, 5);
    QCOMPARE(counters.All().ToClientsBytes, first.Received.size() + second.Received.size());
    QTRY_COMPARE(counters.Rix().ConnectionsMade, qint64(m_rix->Count()));
    QVERIFY(counters.Rix().Up);

    const QByteArray text = MetricsText(*m_engine);
    const QString labels = QStringLiteral("{slot=\"1\",address=\"127.0.0.1\"}");
    QCOMPARE(
        Sample(text,
               QStringLiteral("tolvane_client_info{slot=\"1\",address=\"127.0.0.1\",port=\"%1\"}").arg(PortOf(first))),
        1.0);
    QCOMPARE(Sample(text, "tolvane_client_received_bytes_total" + labels), 5.0);
    QCOMPARE(Sample(text, "tolvane_client_sent_bytes_total" + labels), double(first.Received.size()));
    QCOMPARE(Sample(text, "tolvane_client_zero_bytes_removed_total" + labels), 1.0);
    QCOMPARE(Sample(text, QStringLiteral("tolvane_clients_refused_total{reason=\"cap\"}")), 1.0);
    QCOMPARE(Sample(text, QStringLiteral("tolvane_clients_refused_total{reason=\"allow-list\"}")), 1.0);
    QCOMPARE(Sample(text, QStringLiteral("tolvane_clients_connected")), 2.0);
    // The cap's one report reached the error log, and the count says so.
    QCOMPARE(m_engine->Errors.Reported(), 1);
    QCOMPARE(Sample(text, QStringLiteral("tolvane_errors_reported_total")), 1.0);
    QCOMPARE(Sample(text, QStringLiteral("tolvane_data_log_bursts_total")), 2.0); // "hello" and "a\0b"
    QCOMPARE(Sample(text, QStringLiteral("tolvane_rix_up{address=\"127.0.0.1\",port=\"%1\"}").arg(m_rix->Port())), 1.0);
    // Every sample is one of ours.
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            QVERIFY2(line.startsWith("tolvane_"), line.constData());
    }

    // The client's series go with it.
    first.Socket.disconnectFromHost();
    QTRY_VERIFY(!counters.Sessions().at(1).Present);
    QCOMPARE(Sample(MetricsText(*m_engine), "tolvane_client_received_bytes_total" + labels), -1.0);
    QCOMPARE(counters.All().Ended, 1);
}

void tst_counters::sessionLines_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("client closed") << "client closed";
    QTest::newRow("reset") << "reset";
    QTest::newRow("setting change") << "setting change";
    QTest::newRow("shutdown") << "shutdown";
    QTest::newRow("quiet") << "";
}

void tst_counters::sessionLines()
{
    QFETCH(QString, ending);
    Start(ending.isEmpty());
    const quint16 port = quint16(m_engine->Net.wscktClient(0).LocalPort());
    Client client;
    QVERIFY(client.ConnectGreeted(port));
    QTRY_COMPARE(m_rix->Count(), 1);
    client.Socket.write("four");
    QTRY_COMPARE(m_rix->AllReceived, QByteArray("four"));
    const quint16 clientPort = PortOf(client);
    if (ending == QLatin1String("reset")) {
        Reset(client.Socket);
    } else if (ending == QLatin1String("setting change")) {
        Settings moved = m_state;
        moved.ClientIPPort = FreePort();
        m_engine->Applier.Apply(moved);
    } else if (ending == QLatin1String("shutdown")) {
        m_engine->Stop();
        QTRY_VERIFY(m_engine->Net.IsClosed());
    } else {
        client.Socket.disconnectFromHost();
    }
    QTRY_COMPARE(m_engine->Counters.All().Ended, 1);
    const QString journal = Journal();
    const QRegularExpression line(
        QStringLiteral("session ended: client 127\\.0\\.0\\.1:%1 slot 1, \\d+ s, 4 bytes from "
                       "the client, 17 bytes to it, %2\n")
            .arg(clientPort)
            .arg(ending));
    if (ending.isEmpty())
        QVERIFY2(!journal.contains(QStringLiteral("session ended")), qPrintable(journal));
    else
        QVERIFY2(line.match(journal).hasMatch(), qPrintable(journal));
}

TOLVANE_TEST_MAIN(tst_counters)
#include "tst_counters.moc"
