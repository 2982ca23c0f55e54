#include "support/LoopbackSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

// The command line, the signals and the display fallback of the built programs, run as an operator
// would: copied into an empty folder, started with no display unless a test gives one.
class tst_cli : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void helpAndVersion_data();
    void helpAndVersion();
    void badValueEndsBeforeAnySocket_data();
    void badValueEndsBeforeAnySocket();
    void allowListAndCap_data();
    void allowListAndCap();
    void listenAddressAndFolder_data();
    void listenAddressAndFolder();
    void metricsEndpoint_data();
    void metricsEndpoint();
    void librariesOnlyWhenNeeded_data();
    void librariesOnlyWhenNeeded();
    void orderlyShutdown_data();
    void orderlyShutdown();
    void connectModeWithTheSimulator_data();
    void connectModeWithTheSimulator();
    void hangupAppliesEditedSettings_data();
    void hangupAppliesEditedSettings();
    void journalPrefixes_data();
    void journalPrefixes();
    void journalClientPortStates_data();
    void journalClientPortStates();
    void notifyMessages_data();
    void notifyMessages();
    void notifySocketMissing();
    void listenAddressNotOurs();
    void noDisplayRunsHeadless();
    void staleDisplayRunsHeadless();
    void unwritableProgramFolder_data();
    void unwritableProgramFolder();
    void checkChangesNothing_data();
    void checkChangesNothing();
    void startupJournalsSettingsProblems_data();
    void startupJournalsSettingsProblems();
    void refusedReloadKeepsTheRunningSettings_data();
    void refusedReloadKeepsTheRunningSettings();
    void secondRelayOnAFolderIsRefused_data();
    void secondRelayOnAFolderIsRefused();
    void unusableLockFile_data();
    void unusableLockFile();
    void installTree();

private:
    struct Finished {
        int ExitCode = -1;
        QByteArray Output;
        QByteArray Errors;
    };
    // Runs the program (copied into the temporary folder first, unless it is a path) to its end.
    void RunToEnd(const QString& binary, const QStringList& arguments, Finished& finished);
    // Writes iplog.ini (the RIX at rixPort; listen mode, or connect mode to connectTo) and starts the
    // binary in the folder.
    void Start(const QString& binary, const QStringList& arguments, quint16 rixPort,
               const QStringList& extraEnvironment = {}, quint16 connectTo = 0);
    void WriteSettings(quint16 rixPort, quint16 clientPort, bool logData = false, bool listenMode = true)
    {
        QVERIFY(WriteFile(m_settingsFolder + QStringLiteral("/iplog.ini"),
                          SettingsFileText(rixPort, clientPort, listenMode, logData)));
    }
    void StopWith(int signal) { ::StopWith(m_relay, signal, 10000); }
    QByteArray ReadFile(const QString& name) const { return ReadAll(m_dir->filePath(name)); }
    // The files the running relay has mapped: its program and the libraries it loaded.
    QByteArray MappedFiles() const { return ReadAll(QStringLiteral("/proc/%1/maps").arg(m_relay.processId())); }
    // cmake --install into a DESTDIR under the temporary folder, prefix /usr; returns that root.
    QString Install();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_mounted; // a read-only file system the test mounted, if any
    QString m_settingsFolder; // where iplog.ini is written: the program's folder unless --folder
    QProcess m_relay;
    QProcess m_sim; // the RIX simulator, when a test runs it
    quint16 m_clientPort = 0;
};

namespace {

QString BinaryPath(const QString& name)
{
    return QStringLiteral(BUILD_DIR "/") + name;
}

// The folder's names and sizes, hidden files included: what a run that writes nothing leaves as it was.
QStringList FolderListing(const QString& folder)
{
    QStringList listing;
    for (const QFileInfo& entry :
         QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name))
        listing.append(entry.fileName() + u' ' + QString::number(entry.isDir() ? -1 : entry.size()));
    return listing;
}

// An iplog.ini of seven settings; $RIX and $CLIENT stand for the ports a test picks.
QByteArray Settings(const char* rixPort, const char* rixAddress, const char* clientPort, const char* clientAddress,
                    const char* serverMode)
{
    return QByteArray("CONFIGURATION\r\nRIX IP Port=") + rixPort + "\r\nRIX IP Address=" + rixAddress
        + "\r\nClient IP Port=" + clientPort + "\r\nClient IP Address=" + clientAddress
        + "\r\nPacket Size=16383\r\nServer Mode=" + serverMode + "\r\nLog Data=No\r\n";
}

// Where systemd's own unit folder is (/lib on Debian 12), or the fallback under the prefix.
QString InstalledUnit(const QString& root)
{
    const QString systemd = root + QStringLiteral("/lib/systemd/system/tolvaned.service");
    return QFile::exists(systemd) ? systemd : root + QStringLiteral("/usr/lib/systemd/system/tolvaned.service");
}

// JOURNAL_STREAM's value for the file at path: its device and inode, as the journal hands them out.
QString DeviceAndInode(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
}

// The service manager's end of NOTIFY_SOCKET: a Unix datagram socket, bound to a path or to an
// abstract name ("@..."), that keeps every line of every message with the time it came.
class NotifyReceiver final {
public:
    struct Line {
        QByteArray Text;
        qint64 ArrivedMs; // on the system clock
    };

    explicit NotifyReceiver(const QByteArray& name)
        : m_name(name)
        , m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        if (name.startsWith('@'))
            address.sun_path[0] = '\0';
        const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(name.size()));
        const int on = 1;
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0
            && ::setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) == 0;
        if (m_bound) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] { Read(); });
        }
    }
    ~NotifyReceiver()
    {
        m_notifier.reset();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool IsBound() const { return m_bound; }
    QByteArray Name() const { return m_name; }
    // Every line so far, in the order the messages came.
    const std::vector<Line>& Lines()
    {
        Read();
        return m_lines;
    }
    qsizetype IndexOf(const QByteArray& text, size_t from = 0)
    {
        Read();
        for (size_t i = from; i < m_lines.size(); ++i) {
            if (m_lines[i].Text == text)
                return qsizetype(i);
        }
        return -1;
    }
    // The STATUS= lines, without the key.
    std::vector<Line> Statuses()
    {
        std::vector<Line> statuses;
        for (const Line& line : Lines()) {
            if (line.Text.startsWith("STATUS="))
                statuses.push_back({line.Text.mid(7), line.ArrivedMs});
        }
        return statuses;
    }
    QByteArray LastStatus()
    {
        const std::vector<Line> statuses = Statuses();
        return statuses.empty() ? QByteArray() : statuses.back().Text;
    }

private:
    // Each message with the time the kernel took it in, not the time this test got round to it.
    void Read()
    {
        char buffer[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        for (;;) {
            iovec part{buffer, sizeof buffer};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            const ssize_t got = ::recvmsg(m_fd, &message, 0);
            if (got <= 0)
                return;
            qint64 arrivedMs = -1;
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMP) {
                    timeval stamp{};
                    std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                    arrivedMs = qint64(stamp.tv_sec) * 1000 + stamp.tv_usec / 1000;
                }
            }
            for (const QByteArray& line : QByteArray(buffer, got).split('\n')) {
                if (!line.isEmpty())
                    m_lines.push_back({line, arrivedMs});
            }
        }
    }

    QByteArray m_name;
    int m_fd;
    bool m_bound = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::vector<Line> m_lines;
};

} // namespace

void tst_cli::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_settingsFolder = m_dir->path();
}

void tst_cli::cleanup()
{
    for (QProcess* process : {&m_relay, &m_sim}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    if (!m_mounted.isEmpty())
        ::umount2(QFile::encodeName(m_mounted).constData(), MNT_DETACH);
    m_mounted.clear();
    m_relay.setStandardErrorFile(QString());
    m_dir.reset();
}

void tst_cli::Start(const QString& binary, const QStringList& arguments, quint16 rixPort,
                    const QStringList& extraEnvironment, quint16 connectTo)
{
    const QString copy = m_dir->filePath(binary);
    QVERIFY(QFile::copy(BinaryPath(binary), copy));
    m_clientPort = connectTo ? connectTo : FreePort();
    WriteSettings(rixPort, m_clientPort, false, connectTo == 0);
    m_relay.setProcessEnvironment(Headless(extraEnvironment));
    m_relay.setWorkingDirectory(QDir::tempPath());
    m_relay.start(copy, arguments);
    QVERIFY(m_relay.waitForStarted(5000));
    if (connectTo == 0)
        QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
}

void tst_cli::helpAndVersion_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QByteArray>("expected");
    for (const char* binary : {"tolvane", "tolvaned", "tolvane-rix-sim"}) {
        const QString name = QString::fromLatin1(binary);
        QTest::addRow("%s --help", binary) << name << QStringLiteral("--help") << QByteArray("Usage: ");
        QTest::addRow("%s --version", binary)
            << name << QStringLiteral("--version") << QByteArray(binary) + ' ' + TOLVANE_VERSION + '\n';
    }
}

void tst_cli::helpAndVersion()
{
    QFETCH(QString, binary);
    QFETCH(QString, option);
    QFETCH(QByteArray, expected);
    QProcess process;
    process.setProcessEnvironment(Headless());
    process.start(BinaryPath(binary), {option});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray output = process.readAllStandardOutput();
    QVERIFY2(option == QLatin1String("--help") ? output.startsWith(expected) && output.contains("--help")
                                               : output == expected,
             output.constData());
}

void tst_cli::badValueEndsBeforeAnySocket_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QStringList>("arguments");
    const QList<std::pair<const char*, QStringList>> cases = {
        {"cap of 0", {QStringLiteral("--max-clients"), QStringLiteral("0")}},
        {"cap past the counters", {QStringLiteral("--max-clients"), QStringLiteral("32768")}},
        {"cap not a number", {QStringLiteral("--max-clients"), QStringLiteral("ten")}},
        {"negative keep-logs", {QStringLiteral("--keep-logs"), QStringLiteral("-1")}},
        {"prefix too long", {QStringLiteral("--allow"), QStringLiteral("127.0.0.0/33")}},
        {"short address", {QStringLiteral("--listen-address"), QStringLiteral("127.0.1")}},
        {"metrics without a port", {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1")}},
        {"metrics on port 0", {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:0")}},
        {"metrics past the ports", {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:65536")}},
        {"metrics on a name", {QStringLiteral("--metrics"), QStringLiteral("localhost:9464")}},
        {"metrics without an address", {QStringLiteral("--metrics"), QStringLiteral(":9464")}},
        {"metrics with two ports", {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:9464:1")}},
        {"unknown option", {QStringLiteral("--port"), QStringLiteral("1100")}},
        {"folder under a file", {QStringLiteral("--folder"), QStringLiteral("/dev/null/tolvane")}},
    };
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const auto& [name, arguments] : cases)
            QTest::addRow("%s: %s", binary, name) << QString::fromLatin1(binary) << arguments;
    }
}

void tst_cli::badValueEndsBeforeAnySocket()
{
    QFETCH(QString, binary);
    QFETCH(QStringList, arguments);
    // A relay already listening would be found by the kernel's table; the settings name a port.
    const quint16 clientPort = FreePort();
    WriteSettings(FreePort(), clientPort);
    QVERIFY(QFile::copy(BinaryPath(binary), m_dir->filePath(binary)));
    QProcess process;
    process.setProcessEnvironment(Headless());
    process.start(m_dir->filePath(binary), arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    const QByteArray errors = process.readAllStandardError();
    QVERIFY2(errors.contains(binary.toLatin1() + ": "), errors.constData());
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("Errorlog.txt"))));
    QVERIFY(!IsListening(clientPort));
}

void tst_cli::allowListAndCap_data()
{
    QTest::addColumn<QString>("binary");
    QTest::newRow("tolvane") << QStringLiteral("tolvane");
    QTest::newRow("tolvaned") << QStringLiteral("tolvaned");
}

void tst_cli::allowListAndCap()
{
    QFETCH(QString, binary);
    Start(binary,
          {QStringLiteral("--allow"), QStringLiteral("127.0.0.2/32"), QStringLiteral("--max-clients"),
           QStringLiteral("2")},
          FreePort());

    // Not on the list: closed at once, never greeted; written once however often it comes back.
    for (int attempt = 0; attempt < 2; ++attempt) {
        Client stranger(QStringLiteral("127.0.0.1"));
        QVERIFY(stranger.Connect(m_clientPort));
        QTRY_VERIFY(stranger.Closed);
        QCOMPARE(stranger.Received, QByteArray());
    }
    QTRY_VERIFY(ReadFile(QStringLiteral("Eventlog.txt")).contains("Client Refused"));
    QCOMPARE(ReadFile(QStringLiteral("Eventlog.txt")).count("Client Refused"), 1);
    QVERIFY(ReadFile(QStringLiteral("Eventlog.txt")).contains("127.0.0.1"));

    // On the list: greeted, two at most.
    Client first(QStringLiteral("127.0.0.2"));
    Client second(QStringLiteral("127.0.0.2"));
    for (Client* client : {&first, &second})
        QVERIFY(client->ConnectGreeted(m_clientPort));
    for (int attempt = 0; attempt < 2; ++attempt) {
        Client third(QStringLiteral("127.0.0.2"));
        QVERIFY(third.Connect(m_clientPort));
        QTRY_VERIFY(third.Closed);
        QCOMPARE(third.Received, QByteArray());
    }
    QTRY_COMPARE(ReadFile(QStringLiteral("Errorlog.txt")).count("Client Limit of 2 Reached"), 1);

    // One leaves: the next is greeted again.
    first.Socket.disconnectFromHost();
    QTRY_VERIFY(ReadFile(QStringLiteral("Eventlog.txt")).contains("RIX Disconnected"));
    Client again(QStringLiteral("127.0.0.2"));
    QVERIFY(again.ConnectGreeted(m_clientPort));
    QVERIFY(!second.Closed);
    StopWith(SIGTERM);
}

void tst_cli::listenAddressAndFolder_data()
{
    allowListAndCap_data();
}

void tst_cli::listenAddressAndFolder()
{
    QFETCH(QString, binary);
    // Settings and logs in the folder named, none in the program's own.
    const QString folder = m_dir->filePath(QStringLiteral("state"));
    QVERIFY(QDir().mkpath(folder));
    m_settingsFolder = folder;
    Start(binary, {QStringLiteral("--listen-address"), QStringLiteral("127.0.0.1"), QStringLiteral("--folder"), folder},
          FreePort());
    // Another loopback address of this machine does not reach the listener.
    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), m_clientPort);
    QVERIFY(!elsewhere.waitForConnected(5000));
    QCOMPARE(elsewhere.error(), QAbstractSocket::ConnectionRefusedError);
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    StopWith(SIGTERM);
    QVERIFY(QFile::exists(folder + QStringLiteral("/Eventlog.txt")));
    QVERIFY(QFile::exists(folder + QStringLiteral("/iplog.ini")));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("Eventlog.txt"))));
}

void tst_cli::metricsEndpoint_data()
{
    allowListAndCap_data();
}

void tst_cli::metricsEndpoint()
{
    QFETCH(QString, binary);
    const quint16 metricsPort = FreePort();
    Start(binary, {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:%1").arg(metricsPort)}, FreePort());
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(metricsPort), 10000);
    QVERIFY(MappedFiles().contains("/libmicrohttpd.so"));
    Client scraper;
    QVERIFY(scraper.Connect(metricsPort));
    scraper.Socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QTRY_VERIFY(scraper.Closed);
    QVERIFY2(scraper.Received.startsWith("HTTP/1.1 200 OK\r\n"), scraper.Received.constData());
    QVERIFY(scraper.Received.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"));
    StopWith(SIGTERM);
    QVERIFY(!IsListening(metricsPort));
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
}

void tst_cli::librariesOnlyWhenNeeded_data()
{
    allowListAndCap_data();
}

// Without --metrics the HTTP library and the TLS library it brings are not loaded, and neither
// program maps Qt Network: a relay's memory is mostly its libraries.
void tst_cli::librariesOnlyWhenNeeded()
{
    QFETCH(QString, binary);
    Start(binary, {}, FreePort());
    const QByteArray maps = MappedFiles();
    QVERIFY(maps.contains("/libQt6Core.so"));
    for (const char* library : {"/libmicrohttpd.so", "/libgnutls.so", "/libQt6Network.so"})
        QVERIFY2(!maps.contains(library), library);
    StopWith(SIGTERM);
}

void tst_cli::orderlyShutdown_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<int>("signal");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        QTest::addRow("%s SIGTERM", binary) << QString::fromLatin1(binary) << int(SIGTERM);
        QTest::addRow("%s SIGINT", binary) << QString::fromLatin1(binary) << int(SIGINT);
    }
}

void tst_cli::orderlyShutdown()
{
    QFETCH(QString, binary);
    QFETCH(int, signal);
    QTcpServer rix;
    QVERIFY(rix.listen(QHostAddress::LocalHost));
    Start(binary, {}, rix.serverPort());
    QVERIFY(QFile::remove(m_dir->filePath(QStringLiteral("iplog.ini"))));
    // These change nothing.
    for (int ignored : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        ::kill(pid_t(m_relay.processId()), ignored);
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    StopWith(signal);
    // Settings written, every socket closed, nothing went wrong.
    QVERIFY(ReadFile(QStringLiteral("iplog.ini")).startsWith("CONFIGURATION\r\n"));
    QTRY_VERIFY(client.Closed);
    QVERIFY(!IsListening(m_clientPort));
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
}

void tst_cli::connectModeWithTheSimulator_data()
{
    allowListAndCap_data();
}

void tst_cli::connectModeWithTheSimulator()
{
    QFETCH(QString, binary);
    m_sim.start(
        BinaryPath(QStringLiteral("tolvane-rix-sim")),
        {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--status-every"), QStringLiteral("100")});
    QTRY_VERIFY_WITH_TIMEOUT(m_sim.canReadLine(), 5000);
    const QByteArray line = m_sim.readLine().trimmed();
    QVERIFY2(line.startsWith("listening "), line.constData());
    QTcpServer clientSide;
    QVERIFY(clientSide.listen(QHostAddress::LocalHost));
    Start(binary, {}, quint16(line.mid(10).toUInt()), {}, clientSide.serverPort());

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

    StopWith(SIGTERM);
    QVERIFY(ReadFile(QStringLiteral("iplog.ini")).contains("\r\nServer Mode=No\r\n"));
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
}

void tst_cli::hangupAppliesEditedSettings_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("edit");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const char* edit : {"RIX port", "client port", "data log"})
            QTest::addRow("%s: %s", binary, edit) << QString::fromLatin1(binary) << QString::fromLatin1(edit);
    }
}

void tst_cli::hangupAppliesEditedSettings()
{
    QFETCH(QString, binary);
    QFETCH(QString, edit);
    QTcpServer oldRix;
    QTcpServer newRix;
    QVERIFY(oldRix.listen(QHostAddress::LocalHost));
    QVERIFY(newRix.listen(QHostAddress::LocalHost));
    Start(binary, {}, oldRix.serverPort());
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    QTRY_VERIFY(oldRix.hasPendingConnections());
    QTcpSocket* upstream = oldRix.nextPendingConnection();

    const quint16 oldClientPort = m_clientPort;
    const quint16 newClientPort = edit == QLatin1String("client port") ? FreePort() : oldClientPort;
    WriteSettings(edit == QLatin1String("RIX port") ? newRix.serverPort() : oldRix.serverPort(), newClientPort,
                  edit == QLatin1String("data log"));
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    QByteArray errors;
    QTRY_VERIFY((errors += m_relay.readAllStandardError()).contains("iplog.ini re-read"));

    if (edit == QLatin1String("client port")) {
        // Every client is dropped, and the listener moves.
        QTRY_VERIFY(client.Closed);
        QTRY_VERIFY(IsListening(newClientPort));
        QVERIFY(!IsListening(oldClientPort));
        Client moved;
        QVERIFY(moved.ConnectGreeted(newClientPort));
    } else {
        // The client keeps its connection; its bytes follow the new settings.
        if (edit == QLatin1String("RIX port")) {
            QTRY_VERIFY(newRix.hasPendingConnections());
            upstream = newRix.nextPendingConnection();
        }
        client.Socket.write("after reload");
        QByteArray relayed;
        QTRY_VERIFY((relayed += upstream->readAll()).contains("after reload"));
        QVERIFY(!client.Closed);
        if (edit == QLatin1String("data log"))
            QTRY_VERIFY(ReadFile(QStringLiteral("DataLog.log")).contains("after reload"));
    }
    // A later edit, not applied yet, is the operator's: the shutdown leaves it as it is.
    WriteSettings(1, 2);
    const QByteArray later = ReadFile(QStringLiteral("iplog.ini"));
    StopWith(SIGTERM);
    QCOMPARE(ReadFile(QStringLiteral("iplog.ini")), later);
}

void tst_cli::journalPrefixes_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("stream");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const char* stream : {"the journal", "not set", "another stream"})
            QTest::addRow("%s, JOURNAL_STREAM %s", binary, stream)
                << QString::fromLatin1(binary) << QString::fromLatin1(stream);
    }
}

void tst_cli::journalPrefixes()
{
    QFETCH(QString, binary);
    QFETCH(QString, stream);
    const QString errorFile = m_dir->filePath(QStringLiteral("stderr.txt"));
    const QString otherFile = m_dir->filePath(QStringLiteral("other.txt"));
    QVERIFY(WriteFile(errorFile, {}) && WriteFile(otherFile, {}));
    QStringList environment;
    if (stream == QLatin1String("the journal"))
        environment.append(QStringLiteral("JOURNAL_STREAM=") + DeviceAndInode(errorFile));
    else if (stream == QLatin1String("another stream"))
        environment.append(QStringLiteral("JOURNAL_STREAM=") + DeviceAndInode(otherFile));
    m_relay.setStandardErrorFile(errorFile);
    const quint16 rixPort = FreePort();
    Start(binary, {}, rixPort, environment);
    StopWith(SIGTERM);

    // Each line starts with its priority for the journal, or with the program's name anywhere else.
    const QByteArray info = stream == QLatin1String("the journal") ? QByteArray("<6>") : binary.toLatin1() + ": ";
    const QByteArray written = ReadAll(errorFile);
    const QList<QByteArray> lines = written.split('\n');
    for (const QByteArray& expected :
         {info + "relaying; iplog.ini and the logs are in " + QFile::encodeName(m_dir->path()),
          info + "listen mode: clients on 0.0.0.0:" + QByteArray::number(m_clientPort)
              + ", RIX at 127.0.0.1:" + QByteArray::number(rixPort),
          info + "listening on 0.0.0.0:" + QByteArray::number(m_clientPort)})
        QVERIFY2(lines.contains(expected), written.constData());
    QVERIFY2(lines.last().isEmpty() && lines.at(lines.size() - 2).startsWith(info + "stopped after "),
             written.constData());
    if (stream != QLatin1String("the journal"))
        QVERIFY2(!written.startsWith('<') && !written.contains("\n<"), written.constData());
}

void tst_cli::journalClientPortStates_data()
{
    allowListAndCap_data();
}

void tst_cli::journalClientPortStates()
{
    QFETCH(QString, binary);
    const QString errorFile = m_dir->filePath(QStringLiteral("stderr.txt"));
    QVERIFY(WriteFile(errorFile, {}));
    m_relay.setStandardErrorFile(errorFile);
    // A RIX that closes every connection at once: each poll tick makes a new one, so their count says
    // how many ticks have passed.
    QTcpServer rix;
    int rixConnections = 0;
    connect(&rix, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = rix.nextPendingConnection()) {
            ++rixConnections;
            socket->abort();
            socket->deleteLater();
        }
    });
    QVERIFY(rix.listen(QHostAddress::LocalHost));
    NotifyReceiver manager(QFile::encodeName(m_dir->filePath(QStringLiteral("notify"))));
    QVERIFY(manager.IsBound());
    Start(binary, {}, rix.serverPort(),
          {QStringLiteral("JOURNAL_STREAM=") + DeviceAndInode(errorFile),
           QStringLiteral("NOTIFY_SOCKET=") + QString::fromLatin1(manager.Name())});
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    const auto journal = [&errorFile] { return ReadAll(errorFile); };

    // The client port moves to a port that is taken: said once, with the system's reason, however
    // long it lasts, in the journal and in the service manager's status.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    const QByteArray takenPort = QByteArray::number(taken.serverPort());
    WriteSettings(rix.serverPort(), taken.serverPort());
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    const QByteArray notListening = "<3>NOT listening on 0.0.0.0:" + takenPort + ": Address already in use\n";
    QTRY_VERIFY2(journal().contains(notListening), journal().constData());
    QVERIFY(
        journal().contains("<6>iplog.ini re-read: client side re-opened (listening on 0.0.0.0:" + takenPort + ")\n"));
    const int ticks = rixConnections;
    QTRY_VERIFY_WITH_TIMEOUT(rixConnections >= ticks + 3, 10000);
    QCOMPARE(journal().count(notListening), 1);
    const std::vector<NotifyReceiver::Line> statuses = manager.Statuses();
    QCOMPARE(std::count_if(statuses.begin(), statuses.end(),
                           [&](const NotifyReceiver::Line& line) { return line.Text.startsWith("NOT listening"); }),
             1);

    // Free again: the poll listens, and the journal says so once.
    taken.close();
    const QByteArray again = "<6>listening again on 0.0.0.0:" + takenPort + "\n";
    QTRY_VERIFY2(journal().contains(again), journal().constData());
    QVERIFY(IsListening(quint16(takenPort.toUInt())));

    // A port that is not a port is not applied: the relay goes on listening where it is.
    QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), SettingsFileText(rix.serverPort(), 70000)));
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    QTRY_VERIFY2(journal().contains("<4>iplog.ini not applied: Client IP Port=70000"), journal().constData());
    QVERIFY(IsListening(quint16(takenPort.toUInt())));
    QVERIFY(!journal().contains("NOT listening on 0.0.0.0:70000"));
    StopWith(SIGTERM);
    QCOMPARE(journal().count(again), 1);
    QCOMPARE(journal().count("<6>listening on"), 1);
    QVERIFY2(journal().contains("\n<6>stopped after "), journal().constData());
}

void tst_cli::notifyMessages_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<bool>("abstract");
    QTest::newRow("tolvaned, a socket file") << QStringLiteral("tolvaned") << false;
    QTest::newRow("tolvaned, an abstract name") << QStringLiteral("tolvaned") << true;
    QTest::newRow("tolvane, a socket file") << QStringLiteral("tolvane") << false;
}

void tst_cli::notifyMessages()
{
    QFETCH(QString, binary);
    QFETCH(bool, abstract);
    NotifyReceiver manager(abstract ? "@tolvane-test-" + QByteArray::number(QCoreApplication::applicationPid()) + '-'
                                   + QByteArray::number(QRandomGenerator::global()->generate())
                                    : QFile::encodeName(m_dir->filePath(QStringLiteral("notify"))));
    QVERIFY(manager.IsBound());
    QTcpServer rix;
    QVERIFY(rix.listen(QHostAddress::LocalHost));
    const QByteArray rixText = ", RIX 127.0.0.1:" + QByteArray::number(rix.serverPort()) + ' ';
    Start(binary, {}, rix.serverPort(), {QStringLiteral("NOTIFY_SOCKET=") + QString::fromLatin1(manager.Name())});

    // Ready once start-up has run, the client port already open.
    QTRY_VERIFY(manager.IndexOf("READY=1") >= 0);
    const QByteArray listening = "listening on 0.0.0.0:" + QByteArray::number(m_clientPort);
    QVERIFY2(manager.LastStatus().startsWith(listening + ", 0 clients" + rixText), manager.LastStatus().constData());

    Client first;
    QVERIFY(first.ConnectGreeted(m_clientPort));
    QTRY_VERIFY2(manager.LastStatus().startsWith(listening + ", 1 client" + rixText), manager.LastStatus().constData());
    Client second;
    Client third;
    QVERIFY(second.ConnectGreeted(m_clientPort) && third.ConnectGreeted(m_clientPort));
    QTRY_VERIFY2(manager.LastStatus().startsWith(listening + ", 3 clients" + rixText),
                 manager.LastStatus().constData());

    // Around a reload that moves the client port to one that is taken; the status says why nothing
    // listens, and then that the port is open again once it is free.
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    WriteSettings(rix.serverPort(), taken.serverPort());
    const size_t beforeReload = manager.Lines().size();
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    QTRY_VERIFY(manager.IndexOf("READY=1", beforeReload) >= 0);
    const qsizetype reloading = manager.IndexOf("RELOADING=1", beforeReload);
    QVERIFY(reloading >= 0 && reloading < manager.IndexOf("READY=1", beforeReload));
    const QByteArray takenPort = QByteArray::number(taken.serverPort());
    QTRY_VERIFY2(
        manager.LastStatus().startsWith("NOT listening on 0.0.0.0:" + takenPort + ": Address already in use" + rixText),
        manager.LastStatus().constData());
    taken.close();
    QTRY_VERIFY2(manager.LastStatus().startsWith("listening on 0.0.0.0:" + takenPort + ", 0 clients" + rixText),
                 manager.LastStatus().constData());

    StopWith(SIGTERM);
    QCOMPARE(manager.Lines().back().Text, QByteArray("STOPPING=1"));
    QCOMPARE(manager.IndexOf("READY=1", manager.IndexOf("READY=1") + 1), manager.IndexOf("READY=1", beforeReload));
    // Sent when it changed, and at most once a second however fast the clients came.
    const std::vector<NotifyReceiver::Line> statuses = manager.Statuses();
    for (size_t i = 1; i < statuses.size(); ++i) {
        QVERIFY2(statuses[i].Text != statuses[i - 1].Text, statuses[i].Text.constData());
        QVERIFY2(statuses[i].ArrivedMs - statuses[i - 1].ArrivedMs >= 990, statuses[i].Text.constData());
    }
}

void tst_cli::notifySocketMissing()
{
    // A service manager that has gone away: the relay runs on, and says so once.
    Start(QStringLiteral("tolvaned"), {}, FreePort(),
          {QStringLiteral("NOTIFY_SOCKET=") + m_dir->filePath(QStringLiteral("gone"))});
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    QByteArray errors;
    QTRY_VERIFY((errors += m_relay.readAllStandardError()).contains("listening on"));
    StopWith(SIGTERM);
    errors += m_relay.readAllStandardError();
    QCOMPARE(errors.count("tolvaned: cannot tell the service manager its state through "), 1);
    QVERIFY2(errors.contains(": No such file or directory\n"), errors.constData());
}

void tst_cli::listenAddressNotOurs()
{
    // An address this host does not have: nothing listens, and the journal says why rather than
    // only that the relay is up.
    QVERIFY(QFile::copy(BinaryPath(QStringLiteral("tolvaned")), m_dir->filePath(QStringLiteral("tolvaned"))));
    const quint16 port = FreePort();
    WriteSettings(FreePort(), port);
    m_relay.setProcessEnvironment(Headless());
    m_relay.start(m_dir->filePath(QStringLiteral("tolvaned")),
                  {QStringLiteral("--listen-address"), QStringLiteral("192.0.2.10")});
    QByteArray errors;
    QTRY_VERIFY2((errors += m_relay.readAllStandardError())
                     .contains("tolvaned: NOT listening on 192.0.2.10:" + QByteArray::number(port)
                               + ": Cannot assign requested address\n"),
                 errors.constData());
    QVERIFY(!IsListening(port));
    StopWith(SIGTERM);
}

void tst_cli::noDisplayRunsHeadless()
{
    // A root shell, or one over ssh, has neither a display nor a runtime folder: what tolvane says
    // is where its files are and that it has no window, and nothing of Qt's runtime folder.
    Start(QStringLiteral("tolvane"), {}, FreePort(), {QStringLiteral("XDG_RUNTIME_DIR=")});
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    StopWith(SIGTERM);
    const QByteArray errors = m_relay.readAllStandardError();
    QVERIFY2(errors.startsWith("tolvane: no display found; running without a window (offscreen)\n"
                               "tolvane: relaying; iplog.ini and the logs are in "
                               + QFile::encodeName(QDir::toNativeSeparators(m_dir->path())) + '\n'),
             errors.constData());
    QVERIFY2(!errors.contains("XDG_RUNTIME_DIR"), errors.constData());
}

void tst_cli::staleDisplayRunsHeadless()
{
    // A display number nobody serves: its socket does not exist.
    int display = 187;
    while (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
        ++display;
    Start(QStringLiteral("tolvane"), {}, FreePort(), {QStringLiteral("DISPLAY=:%1").arg(display)});
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    StopWith(SIGTERM);
    const QByteArray errors = m_relay.readAllStandardError();
    QVERIFY2(errors.contains("tolvane: the display could not be opened; running without a window"), errors.constData());
    QVERIFY2(!errors.contains("could not connect to display"), errors.constData());
}

void tst_cli::unwritableProgramFolder_data()
{
    allowListAndCap_data();
}

void tst_cli::unwritableProgramFolder()
{
    QFETCH(QString, binary);
    // The program on a read-only file system: even root cannot write beside it.
    const QString folder = m_dir->filePath(QStringLiteral("readonly"));
    QVERIFY(QDir().mkpath(folder));
    const QByteArray size = "size=" + QByteArray::number(QFileInfo(BinaryPath(binary)).size() + (1 << 20));
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, size.constData()) != 0)
        QSKIP("mounting a tmpfs is not permitted here");
    m_mounted = folder;
    QVERIFY(QFile::copy(BinaryPath(binary), folder + u'/' + binary));
    QVERIFY(::mount(nullptr, QFile::encodeName(folder).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0);
    const QString dataHome = m_dir->filePath(QStringLiteral("data"));
    QProcess process;
    process.setProcessEnvironment(Headless({QStringLiteral("XDG_DATA_HOME=") + dataHome}));
    process.start(folder + u'/' + binary, {});
    QVERIFY(process.waitForStarted(5000));
    if (binary == QLatin1String("tolvaned")) {
        // No per-user fallback for a service: it says why and stops.
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("--folder"));
        return;
    }
    QByteArray errors;
    QTRY_VERIFY(
        (errors += process.readAllStandardError()).contains("using " + QFile::encodeName(dataHome) + "/tolvane"));
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(QFile::exists(dataHome + QStringLiteral("/tolvane/iplog.ini")));
}

void tst_cli::RunToEnd(const QString& binary, const QStringList& arguments, Finished& finished)
{
    QString program = binary;
    if (!binary.contains(u'/')) {
        program = m_dir->filePath(binary);
        if (!QFile::exists(program))
            QVERIFY(QFile::copy(BinaryPath(binary), program));
    }
    QProcess process;
    process.setProcessEnvironment(Headless());
    process.setWorkingDirectory(QDir::tempPath());
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    finished = {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

void tst_cli::checkChangesNothing_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QByteArray>("settings"); // "-" for no iplog.ini, "/" for a folder of that name
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("expected"); // lines, or parts of lines, on stdout
    const QByteArray good = Settings("$RIX", "127.0.0.1", "$CLIENT", "127.0.0.1", "Yes");
    const QByteArray usable = "These settings are usable.";
    const QByteArray ownPort = "are this relay's own client port";
    struct Row {
        const char* Name;
        QByteArray Settings;
        QStringList Arguments;
        int ExitCode;
        QByteArrayList Expected;
    };
    const QList<Row> rows = {
        {"no iplog.ini", "-", {}, 0, {"iplog.ini: none, the defaults apply", "  RIX IP Port=1200", usable}},
        {"good file", good, {}, 0, {"iplog.ini: read", "  Client IP Port=$CLIENT", usable}},
        {"RIX port past the ports",
         Settings("70000", "127.0.0.1", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {"problem: RIX IP Port=70000 is not a port (1-65535)", "These settings are not usable (1 problem)."}},
        {"client port 0",
         Settings("$RIX", "127.0.0.1", "0", "127.0.0.1", "Yes"),
         {},
         2,
         {"problem: Client IP Port=0 is not a port (1-65535)"}},
        {"RIX address of three parts",
         Settings("$RIX", "10.0.0", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {"problem: RIX IP Address=10.0.0 is not an address (a.b.c.d)"}},
        {"client address a name, connect mode",
         Settings("$RIX", "127.0.0.1", "$CLIENT", "relay.example", "No"),
         {},
         2,
         {"problem: Client IP Address=relay.example is not an address (a.b.c.d)"}},
        {"client address a name, listen mode (not used)",
         Settings("$RIX", "127.0.0.1", "$CLIENT", "relay.example", "Yes"),
         {},
         0,
         {usable}},
        {"RIX on the own port, loopback",
         Settings("$CLIENT", "127.0.0.1", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {"problem: RIX IP Address=127.0.0.1 and RIX IP Port=$CLIENT " + ownPort}},
        {"RIX on the own port, 0.0.0.0",
         Settings("$CLIENT", "0.0.0.0", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {ownPort}},
        {"RIX on the own port, another loopback address",
         Settings("$CLIENT", "127.0.0.9", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {ownPort}},
        {"RIX on the own port number, listener on another address",
         Settings("$CLIENT", "127.0.0.2", "$CLIENT", "127.0.0.1", "Yes"),
         {QStringLiteral("--listen-address"), QStringLiteral("127.0.0.1")},
         0,
         {"  --listen-address 127.0.0.1", usable}},
        {"RIX on the own port, connect mode (no listener)",
         Settings("$CLIENT", "127.0.0.1", "$CLIENT", "127.0.0.1", "No"),
         {},
         0,
         {usable}},
        {"listen address this host lacks",
         good,
         {QStringLiteral("--listen-address"), QStringLiteral("192.0.2.10")},
         2,
         {"problem: --listen-address 192.0.2.10 is not an address of this host"}},
        {"listen address on the loopback network",
         good,
         {QStringLiteral("--listen-address"), QStringLiteral("127.0.0.3"), QStringLiteral("--allow"),
          QStringLiteral("10.1.2.3/8")},
         0,
         {"  --allow 10.0.0.0/8", usable}},
        {"RIX port line missing",
         "CONFIGURATION\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=$CLIENT\r\n",
         {},
         2,
         {"note: iplog.ini has no \"RIX IP Port=\" line", "problem: RIX IP Port=0 is not a port (1-65535)"}},
        {"nothing in it",
         "\xff\xfe\x01garbage",
         {},
         2,
         {"problem: iplog.ini cannot be used: no setting could be read from it"}},
        {"a number past 32 bits",
         Settings("99999999999", "127.0.0.1", "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {"problem: iplog.ini has a line that cannot be read (Overflow)"}},
        {"iplog.ini a folder", "/", {}, 2, {"problem: iplog.ini cannot be read: not a regular file"}},
        {"an address of 10 MB",
         Settings("$RIX", QByteArray(10'000'000, '9').constData(), "$CLIENT", "127.0.0.1", "Yes"),
         {},
         2,
         {"... (10000000 characters) is not an address (a.b.c.d)"}},
        {"folder that cannot be made",
         good,
         {QStringLiteral("--folder"), QStringLiteral("/dev/null/tolvane")},
         2,
         {": cannot write to the folder /dev/null/tolvane"}},
        {"folder not made yet",
         good,
         {QStringLiteral("--folder"), QStringLiteral("$DIR/new/folder")},
         0,
         {"Program folder: $DIR/new/folder", "note: the program folder does not exist yet; it is made at start",
          "iplog.ini: none"}},
    };
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const Row& row : rows)
            QTest::addRow("%s: %s", binary, row.Name)
                << QString::fromLatin1(binary) << row.Settings << row.Arguments << row.ExitCode << row.Expected;
    }
}

void tst_cli::checkChangesNothing()
{
    QFETCH(QString, binary);
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, expected);
    // A RIX that would see any connection the check made.
    QTcpServer rix;
    QVERIFY(rix.listen(QHostAddress::LocalHost));
    const QByteArray rixPort = QByteArray::number(rix.serverPort());
    const QByteArray clientPort = QByteArray::number(FreePort());
    const QByteArray folder = QFile::encodeName(m_dir->path());
    const auto fill = [&](QByteArray text) {
        return text.replace("$RIX", rixPort).replace("$CLIENT", clientPort).replace("$DIR", folder);
    };
    const QString settingsPath = m_dir->filePath(QStringLiteral("iplog.ini"));
    if (settings == "/")
        QVERIFY(QDir().mkdir(settingsPath));
    else if (settings != "-")
        QVERIFY(WriteFile(settingsPath, fill(settings)));
    for (QString& argument : arguments)
        argument.replace(QLatin1String("$DIR"), m_dir->path());
    QVERIFY(QFile::copy(BinaryPath(binary), m_dir->filePath(binary)));
    const QStringList before = FolderListing(m_dir->path());

    Finished check;
    RunToEnd(binary, arguments << QStringLiteral("--check"), check);
    QVERIFY2(check.ExitCode == exitCode, check.Output.constData());
    for (const QByteArray& line : expected)
        QVERIFY2(check.Output.contains(fill(line)), check.Output.constData());
    QVERIFY2(check.Output.size() < 4096, "a long value is cut short");
    // Nothing written, nothing made, nothing connected to or listened on, no window platform chosen.
    QCOMPARE(FolderListing(m_dir->path()), before);
    if (settings != "-" && settings != "/")
        QCOMPARE(ReadFile(QStringLiteral("iplog.ini")), fill(settings));
    QVERIFY(!rix.waitForNewConnection(0));
    QVERIFY(!IsListening(quint16(clientPort.toUInt())));
    QVERIFY2(!check.Errors.contains("offscreen"), check.Errors.constData());
}

void tst_cli::startupJournalsSettingsProblems_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("problem");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const char* problem : {"RIX port past the ports", "RIX on the own port"})
            QTest::addRow("%s: %s", binary, problem) << QString::fromLatin1(binary) << QString::fromLatin1(problem);
    }
}

void tst_cli::startupJournalsSettingsProblems()
{
    QFETCH(QString, binary);
    QFETCH(QString, problem);
    m_clientPort = FreePort();
    const bool ownPort = problem == QLatin1String("RIX on the own port");
    QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")),
                      SettingsFileText(ownPort ? m_clientPort : 70000, m_clientPort)));
    QVERIFY(QFile::copy(BinaryPath(binary), m_dir->filePath(binary)));
    // Standard error a file that JOURNAL_STREAM names, as systemd hands the journal's stream over.
    const QString journal = m_dir->filePath(QStringLiteral("journal"));
    QVERIFY(WriteFile(journal, {}));
    struct stat info { };
    QCOMPARE(::stat(QFile::encodeName(journal).constData(), &info), 0);
    QProcess relay;
    relay.setProcessEnvironment(
        Headless({QStringLiteral("JOURNAL_STREAM=%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino))}));
    relay.setStandardErrorFile(journal, QIODevice::Append);
    relay.start(m_dir->filePath(binary), {});
    QVERIFY(relay.waitForStarted(5000));

    // The relay starts as it always has; the journal says, once, what is wrong.
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
    const QByteArray line = ownPort ? "<4>settings problem: RIX IP Address=127.0.0.1 and RIX IP Port="
            + QByteArray::number(m_clientPort) + " are this relay's own client port\n"
                                    : QByteArray("<4>settings problem: RIX IP Port=70000 is not a port (1-65535)\n");
    QTRY_VERIFY(ReadAll(journal).contains(line));
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    ::StopWith(relay, SIGTERM, 10000);
    QCOMPARE(ReadAll(journal).count("settings problem"), 1);
}

void tst_cli::refusedReloadKeepsTheRunningSettings_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("edit");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const char* edit : {"RIX port not a port", "RIX on the own port", "nothing readable"})
            QTest::addRow("%s: %s", binary, edit) << QString::fromLatin1(binary) << QString::fromLatin1(edit);
    }
}

void tst_cli::refusedReloadKeepsTheRunningSettings()
{
    QFETCH(QString, binary);
    QFETCH(QString, edit);
    Peer rix;
    rix.Echo = true;
    QVERIFY(rix.Listen());
    Start(binary, {}, rix.Port(), {QStringLiteral("JOURNAL_STREAM=")});
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    client.Socket.write("before;");
    QTRY_VERIFY(client.Received.endsWith("before;"));

    QByteArray why;
    if (edit == QLatin1String("RIX port not a port")) {
        QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), SettingsFileText(70000, m_clientPort)));
        why = "RIX IP Port=70000 is not a port (1-65535)";
    } else if (edit == QLatin1String("RIX on the own port")) {
        QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), SettingsFileText(m_clientPort, m_clientPort)));
        why = "RIX IP Address=127.0.0.1 and RIX IP Port=" + QByteArray::number(m_clientPort)
            + " are this relay's own client port";
    } else {
        QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), QByteArray("\0\x01\x02", 3)));
        why = "iplog.ini cannot be used: no setting could be read from it";
    }
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    // The journal's warning (plain text, as stderr is not the journal here) and one error-log line.
    QByteArray errors;
    QTRY_VERIFY((errors += m_relay.readAllStandardError()).contains("iplog.ini not applied: " + why));
    QVERIFY2(errors.contains(binary.toLatin1() + ": iplog.ini not applied: " + why + "; the running settings stay\n"),
             errors.constData());
    QVERIFY2(!errors.contains("iplog.ini re-read"), errors.constData());
    const QByteArray log = ReadFile(QStringLiteral("Errorlog.txt"));
    QCOMPARE(log.count("iplog.ini not applied"), 1);
    QVERIFY2(log.contains("File Error                          iplog.ini not applied: " + why + ": Error # 0 - \r\n"),
             log.constData());
    QVERIFY2(!log.contains("Error Reading iplog.ini file"), log.constData());

    // Nothing reconnected, nothing dropped: the client and a new one relay through the same RIX.
    client.Socket.write("after;");
    QTRY_VERIFY(client.Received.endsWith("after;"));
    Client newcomer;
    QVERIFY(newcomer.ConnectGreeted(m_clientPort));
    newcomer.Socket.write("new;");
    QTRY_VERIFY(newcomer.Received.endsWith("new;"));
    QVERIFY(!client.Closed);
    QCOMPARE(rix.OpenCount(), rix.Count());

    // A usable edit is applied again.
    Peer newRix;
    QVERIFY(newRix.Listen());
    WriteSettings(newRix.Port(), m_clientPort);
    ::kill(pid_t(m_relay.processId()), SIGHUP);
    QTRY_VERIFY((errors += m_relay.readAllStandardError()).contains("iplog.ini re-read: RIX side re-connected"));
    client.Socket.write("moved;");
    QTRY_VERIFY(newRix.AllReceived.contains("moved;"));
    StopWith(SIGTERM);
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")).count("iplog.ini not applied"), 1);
}

void tst_cli::secondRelayOnAFolderIsRefused_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("named"); // how the second names the folder
    QTest::newRow("tolvaned holds, tolvane from the folder")
        << QStringLiteral("tolvaned") << QStringLiteral("tolvane") << QStringLiteral("own folder");
    QTest::newRow("tolvane holds, tolvaned from the folder")
        << QStringLiteral("tolvane") << QStringLiteral("tolvaned") << QStringLiteral("own folder");
    QTest::newRow("tolvane holds, tolvaned --folder")
        << QStringLiteral("tolvane") << QStringLiteral("tolvaned") << QStringLiteral("--folder");
    QTest::newRow("tolvaned holds, tolvane --folder through a link")
        << QStringLiteral("tolvaned") << QStringLiteral("tolvane") << QStringLiteral("link");
}

void tst_cli::secondRelayOnAFolderIsRefused()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, named);
    Peer rix;
    QVERIFY(rix.Listen());
    Start(first, {}, rix.Port());
    const QByteArray holder = QByteArray::number(m_relay.processId());

    QString program = m_dir->filePath(second);
    QString folder = m_dir->path();
    QStringList arguments;
    if (named == QLatin1String("own folder")) {
        QVERIFY(QFile::copy(BinaryPath(second), program));
    } else {
        program = BinaryPath(second);
        if (named == QLatin1String("link")) {
            folder = m_dir->filePath(QStringLiteral("link"));
            QVERIFY(QFile::link(m_dir->path(), folder));
        }
        arguments = {QStringLiteral("--folder"), folder};
    }
    Finished refused;
    RunToEnd(program, arguments, refused);
    QCOMPARE(refused.ExitCode, 2);
    QVERIFY2(refused.Errors.contains(second.toLatin1() + ": Another Tolvane relay (process " + holder
                                     + ") is running on the folder " + QFile::encodeName(folder) + ". "),
             refused.Errors.constData());

    // The first relays on, alone: the second opened no log, and wrote nothing.
    Client client;
    QVERIFY(client.ConnectGreeted(m_clientPort));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("Errorlog.txt"))));
    // A check takes no lock.
    Finished check;
    RunToEnd(program, QStringList(arguments) << QStringLiteral("--check"), check);
    QCOMPARE(check.ExitCode, 0);

    // Killed outright, the first leaves the folder free.
    m_relay.kill();
    QVERIFY(m_relay.waitForFinished(5000));
    QProcess next;
    next.setProcessEnvironment(Headless());
    next.start(program, arguments);
    QVERIFY(next.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
    ::StopWith(next, SIGTERM, 10000);
}

void tst_cli::unusableLockFile_data()
{
    QTest::addColumn<QString>("binary");
    QTest::addColumn<QString>("kind");
    for (const char* binary : {"tolvane", "tolvaned"}) {
        for (const char* kind : {"link to a file outside", "FIFO", "directory"})
            QTest::addRow("%s: %s", binary, kind) << QString::fromLatin1(binary) << QString::fromLatin1(kind);
    }
}

void tst_cli::unusableLockFile()
{
    QFETCH(QString, binary);
    QFETCH(QString, kind);
    const QString lock = m_dir->filePath(QStringLiteral("tolvane.lock"));
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath(QStringLiteral("outside.txt"));
    QVERIFY(WriteFile(outside, "not ours\n"));
    if (kind == QLatin1String("FIFO"))
        QCOMPARE(::mkfifo(QFile::encodeName(lock).constData(), 0600), 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(lock));
    else
        QVERIFY(QFile::link(outside, lock));
    const quint16 clientPort = FreePort();
    WriteSettings(FreePort(), clientPort);

    // Refused at once, nothing waits for the FIFO's other end, nothing outside the folder touched.
    Finished refused;
    RunToEnd(binary, {}, refused);
    QCOMPARE(refused.ExitCode, 2);
    QVERIFY2(refused.Errors.contains("cannot be locked for this relay (tolvane.lock: not a regular file"),
             refused.Errors.constData());
    QCOMPARE(ReadAll(outside), QByteArray("not ours\n"));
    QVERIFY(!IsListening(clientPort));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("Errorlog.txt"))));
}

QString tst_cli::Install()
{
    const QString root = m_dir->filePath(QStringLiteral("root"));
    QProcess install;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), root);
    install.setProcessEnvironment(environment);
    install.start(
        QStringLiteral(CMAKE_COMMAND),
        {QStringLiteral("--install"), QStringLiteral(BUILD_DIR), QStringLiteral("--prefix"), QStringLiteral("/usr")});
    if (!install.waitForFinished(60000) || install.exitCode() != 0)
        return {};
    return root;
}

void tst_cli::installTree()
{
    const QString root = Install();
    QVERIFY(!root.isEmpty());
    for (const char* path :
         {"/usr/bin/tolvane", "/usr/sbin/tolvaned", "/usr/bin/tolvane-rix-sim",
          "/usr/share/applications/tolvane.desktop", "/usr/share/icons/hicolor/scalable/apps/tolvane.svg",
          "/usr/share/man/man1/tolvane.1", "/usr/share/man/man1/tolvane-rix-sim.1", "/usr/share/man/man8/tolvaned.8"})
        QVERIFY2(QFile::exists(root + QLatin1String(path)), path);
    QProcess installed;
    installed.start(root + QStringLiteral("/usr/sbin/tolvaned"), {QStringLiteral("--version")});
    QVERIFY(installed.waitForFinished(10000));
    QCOMPARE(installed.readAllStandardOutput(), QByteArray("tolvaned " TOLVANE_VERSION "\n"));
    // The unit where systemd looks for it, naming the installed program.
    QByteArray unit = ReadAll(InstalledUnit(root));
    QVERIFY(unit.contains("\nExecStart=/usr/sbin/tolvaned --folder /var/lib/tolvane --keep-logs 100 $TOLVANED_OPTS\n"));
    // It tells systemd when it is ready, and only the relay itself may.
    QVERIFY(unit.contains("\nType=notify\n") && unit.contains("\nNotifyAccess=main\n"));
    // The relay lists this host's addresses through netlink (getifaddrs) to refuse a RIX address
    // that is its own client port: the unit's socket families let it.
    const qsizetype families = unit.indexOf("\nRestrictAddressFamilies=") + 1;
    QVERIFY(families > 0);
    QVERIFY(unit.mid(families, unit.indexOf('\n', families) - families).contains(" AF_NETLINK"));

    // What the platform's own checkers say of the desktop entry and the unit.
    const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (!validate.isEmpty()) {
        QProcess process;
        process.start(validate, {root + QStringLiteral("/usr/share/applications/tolvane.desktop")});
        QVERIFY(process.waitForFinished(10000));
        QVERIFY2(process.exitCode() == 0 && process.readAll().isEmpty(), process.readAllStandardError().constData());
    }
    if (!analyze.isEmpty()) {
        // The unit as installed, its program and man page taken from the install tree (--root would
        // need a whole system there).
        unit.replace("ExecStart=/usr/sbin/tolvaned", "ExecStart=" + QFile::encodeName(root) + "/usr/sbin/tolvaned");
        const QString checked = m_dir->filePath(QStringLiteral("tolvaned.service"));
        QVERIFY(WriteFile(checked, unit));
        QProcess process;
        process.setProcessEnvironment(Headless({QStringLiteral("MANPATH=") + root + QStringLiteral("/usr/share/man")}));
        process.start(analyze, {QStringLiteral("verify"), checked});
        QVERIFY(process.waitForFinished(60000));
        const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
        QVERIFY2(process.exitCode() == 0, output.constData());
        QVERIFY2(!output.contains("tolvaned.service"), output.constData());
    }
    if (validate.isEmpty() || analyze.isEmpty())
        QSKIP("desktop-file-validate or systemd-analyze is not installed (scripts/bootstrap --checks)");
}

QTEST_GUILESS_MAIN(tst_cli)
#include "tst_cli.moc"
