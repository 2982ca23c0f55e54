#include "support/LoopbackSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>

// The built programs, run as a user would: Tolvane copied into an empty folder and started with no
// display, the RIX simulator in front of it. Every test runs against tolvane and against tolvaned.
class tst_e2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase_data();
    void init();
    void cleanup();
    void listenModeRelaysAndStopsOnSigterm();
    void connectModeRelays();
    void freshFolderUsesDefaults();

private:
    quint16 StartSimulator(const QStringList& extra = {});
    void StartTolvane(const QByteArray& settings);
    QByteArray ReadFile(const QString& name) const { return ReadAll(m_dir->filePath(name)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_headlessLine; // what the program says on stderr when it runs without a window
    QProcess m_sim;
    QProcess m_tolvane;
};

namespace {

// Connects, trying again while the relay is still starting to listen.
bool TryConnect(QTcpSocket& socket, quint16 port)
{
    socket.abort();
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(1000);
}

} // namespace

void tst_e2e::initTestCase_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QByteArray>("headlessLine");
    QTest::newRow("tolvane") << QStringLiteral(TOLVANE_BINARY) << QByteArray("running without a window");
    QTest::newRow("tolvaned") << QStringLiteral(TOLVANED_BINARY) << QByteArray("relaying; iplog.ini and the logs");
}

void tst_e2e::init()
{
    QFETCH_GLOBAL(QString, binary);
    QFETCH_GLOBAL(QByteArray, headlessLine);
    m_headlessLine = headlessLine;
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QFile::copy(binary, m_dir->filePath(QStringLiteral("tolvane"))));
}

void tst_e2e::cleanup()
{
    for (QProcess* process : {&m_tolvane, &m_sim}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_dir.reset();
}

quint16 tst_e2e::StartSimulator(const QStringList& extra)
{
    m_sim.start(QStringLiteral(RIX_SIM_BINARY), QStringList{QStringLiteral("--port"), QStringLiteral("0")} + extra);
    if (!m_sim.waitForStarted(5000))
        return 0;
    QElapsedTimer timer;
    timer.start();
    while (!m_sim.canReadLine() && !timer.hasExpired(5000))
        m_sim.waitForReadyRead(100);
    const QByteArray line = m_sim.readLine().trimmed();
    return line.startsWith("listening ") ? quint16(line.mid(10).toUInt()) : 0;
}

void tst_e2e::StartTolvane(const QByteArray& settings)
{
    if (!settings.isEmpty())
        QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), settings));
    m_tolvane.setProcessEnvironment(Headless());
    m_tolvane.setWorkingDirectory(QDir::tempPath());
    m_tolvane.start(m_dir->filePath(QStringLiteral("tolvane")), {});
    QVERIFY(m_tolvane.waitForStarted(5000));
    QByteArray errors;
    QTRY_VERIFY((errors += m_tolvane.readAllStandardError()).contains(m_headlessLine));
}

void tst_e2e::listenModeRelaysAndStopsOnSigterm()
{
    const quint16 rixPort = StartSimulator();
    QVERIFY(rixPort != 0);
    const quint16 clientPort = FreePort();
    StartTolvane(SettingsText(rixPort, clientPort));

    QTcpSocket client;
    QTRY_VERIFY_WITH_TIMEOUT(TryConnect(client, clientPort), 5000);
    QByteArray received;
    connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll(); });
    // Ours first, then the echo. (Whether the simulator's own confirmation is dropped depends on it
    // arriving as a burst of its own, which timing decides here; the relay tests pin that down.)
    QTRY_VERIFY2(received.startsWith(Login), received.toPercentEncoding().constData());
    client.write("echo me\r\n");
    QTRY_VERIFY(received.contains("echo me\r\n"));
    StopWith(m_tolvane);
    QVERIFY(ReadFile(QStringLiteral("Eventlog.txt")).contains("RIX Connected"));
    QVERIFY(ReadFile(QStringLiteral("iplog.ini")).startsWith("CONFIGURATION\r\n"));
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray()); // nothing went wrong
}

void tst_e2e::connectModeRelays()
{
    const quint16 rixPort = StartSimulator({QStringLiteral("--status-every"), QStringLiteral("100")});
    QVERIFY(rixPort != 0);
    QTcpServer clientSide;
    QVERIFY(clientSide.listen(QHostAddress::LocalHost));
    StartTolvane(SettingsText(rixPort, clientSide.serverPort(), false));

    QTRY_VERIFY_WITH_TIMEOUT(clientSide.hasPendingConnections(), 5000);
    QTcpSocket* client = clientSide.nextPendingConnection();
    QByteArray received;
    connect(client, &QTcpSocket::readyRead, this, [&] { received += client->readAll(); });
    client->write("hello RIX");
    QTRY_VERIFY(received.contains("hello RIX"));
    // A status frame (24, 0, counter, 0, 1, 0, 2, 0, CR, LF) keeps only its second byte's zero
    // (a counter of 0 goes too).
    QTRY_VERIFY(received.indexOf("\x01\x02\r\n", received.indexOf(QByteArray("\x18\0", 2))) > 0);
    const qsizetype frame = received.indexOf(QByteArray("\x18\0", 2));
    const QByteArray rest = received.mid(frame + 2, received.indexOf("\r\n", frame) + 2 - frame - 2);
    QVERIFY(rest == "\x01\x02\r\n" || (rest.size() == 5 && rest.endsWith("\x01\x02\r\n") && rest[0] != 0));

    // The client drops the relay's connection: the poll brings it back within a second or two.
    client->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(clientSide.hasPendingConnections(), 5000);
    QTcpSocket* again = clientSide.nextPendingConnection();
    QByteArray more;
    connect(again, &QTcpSocket::readyRead, this, [&] { more += again->readAll(); });
    again->write("back");
    QTRY_VERIFY(more.contains("back"));

    StopWith(m_tolvane);
    QVERIFY(ReadFile(QStringLiteral("iplog.ini")).contains("\r\nServer Mode=No\r\n"));
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
}

void tst_e2e::freshFolderUsesDefaults()
{
    // No iplog.ini: the defaults apply, and the file is written at shutdown.
    StartTolvane({});
    StopWith(m_tolvane);
    QCOMPARE(ReadFile(QStringLiteral("iplog.ini")),
             QByteArray("CONFIGURATION\r\nRIX IP Port=1200\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=1100\r\n"
                        "Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=Yes\r\nLog Data=No\r\n"));
}

QTEST_GUILESS_MAIN(tst_e2e)
#include "tst_e2e.moc"
