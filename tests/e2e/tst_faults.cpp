#include "support/LoopbackSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <QNetworkInterface>

#include <algorithm>
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Faults and hostile load against the built program, on 127.0.0.1 only. Each test ends by checking
// that the relay still serves an ordinary client.
class tst_faults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase_data();
    void initTestCase();
    void init();
    void cleanup();
    void connectionStorm();
    void descriptorExhaustion();
    void flappingRix();
    void fullDisk();
    void hostileSettingsFiles_data();
    void hostileSettingsFiles();
    void hostileLogPaths_data();
    void hostileLogPaths();
    void hostileSettingsPaths_data();
    void hostileSettingsPaths();
    void killDuringShutdownWrite();
    void rixThatNeverReads();
    void clientsThatSayByeAndCloseLeaveNothingBehind();
    void ownListenerFoundWithoutListingInterfaces();
    void rixOutageIsWrittenOnceAtEachEnd();
    void leavingClientsAndAStalledRix_data();
    void leavingClientsAndAStalledRix();
    void peersCannotFloodTheErrorLog_data();
    void peersCannotFloodTheErrorLog();

private:
    // The RIX inside the test (echoing unless told otherwise) listens; returns its port.
    quint16 StartRix(quint16 port = 0);
    void StartTolvane(quint16 rixPort, bool logData = false, const QByteArray& settingsPrefix = {},
                      int descriptorLimit = 0);
    // Starts the program in m_folder as it is.
    void Launch(int descriptorLimit = 0);
    // SIGTERM: the orderly shutdown, exit status 0.
    void Stop() { StopWith(m_tolvane, SIGTERM, 10000); }
    // A client that connects, checks the greeting, sends data and expects it echoed.
    void CheckServes();
    qint64 ResidentKiB() const;
    qint64 CpuTicks() const;
    // How often the relay has gone to sleep waiting for something to do (its voluntary context switches).
    qint64 Sleeps() const;
    QByteArray ReadFile(const QString& name) const { return ReadAll(m_folder + u'/' + name); }

    QStringList m_arguments; // the command line of the next launch
    bool m_restrictFamilies = false; // the next launch may open only AF_INET and AF_UNIX sockets
    QString m_journal; // when set, the next launch's stderr goes to this file, given as the journal
    // Otherwise stderr goes here: a pipe nobody drains while a test drives thousands of sessions would
    // fill with their lines and hold the relay.
    QTemporaryDir m_stderrDir;
    QString StderrFile() const { return m_stderrDir.filePath(QStringLiteral("stderr")); }
    QString m_binary; // the built program under test
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_folder; // where the program runs: the temporary folder, or a small file system in it
    QProcess m_tolvane;
    quint16 m_clientPort = 0;
    std::unique_ptr<Peer> m_rix;
};

namespace {

int RawConnect(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Reset(int fd)
{
    const linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// Something other than a regular file where the program keeps one of its files.
void MakeHostile(const QString& kind, const QString& path, const QString& outside)
{
    if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "directory") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == "link to a file outside") {
        QFile file(outside);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("outside\n");
        file.close();
        QVERIFY(QFile::link(outside, path));
    } else if (kind == "dangling link") {
        QVERIFY(QFile::link(outside, path));
    } else if (kind == "UTF-16") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        static constexpr char text[] = "\xff\xfeR\0I\0X\0 \0I\0P\0 \0P\0o\0r\0t\0=\0\x39\0\r\0\n\0";
        file.write(text, sizeof(text) - 1);
    } else if (kind == "unreadable") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIX IP Port=1300\r\n");
        file.close();
        QVERIFY(file.setPermissions({}));
    }
}

// What stands at path, and for a regular file what it holds.
QByteArray Describe(const QString& path)
{
    struct stat info { };
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return "nothing";
    if (S_ISLNK(info.st_mode))
        return "link";
    if (S_ISFIFO(info.st_mode))
        return "fifo";
    if (S_ISDIR(info.st_mode))
        return "directory";
    QFile file(path);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return file.open(QIODevice::ReadOnly) ? "file " + file.readAll() : "unreadable file";
}

// What a flood may add to the relay's resident memory: its bound of a few MiB per direction, the read
// buffer, and the allocator's slack.
constexpr qint64 MemoryGrowthKiB = 48 * 1024;

// A RIX that accepts every connection and reads nothing until told to: what the relay sends it waits
// in the kernel. Plain sockets, driven by Pump(), so that nothing reads behind the test's back.
class StalledRix {
public:
    StalledRix()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        // Its kernel takes little before it stops acknowledging.
        const int small = 4096;
        setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 4096);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        Port = ntohs(address.sin_port);
    }
    ~StalledRix()
    {
        for (const Connection& connection : Connections)
            ::close(connection.Fd);
        ::close(m_listener);
    }
    // Accepts what waits, and once reading reads what has come.
    void Pump()
    {
        for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;)
            Connections.push_back({fd, {}, false});
        if (!Reading)
            return;
        char buffer[65536];
        int open = 0;
        for (Connection& connection : Connections) {
            ssize_t n = 0;
            while (!connection.Ended && (n = ::recv(connection.Fd, buffer, sizeof buffer, 0)) > 0) {
                connection.Received.append(buffer, n);
                Total += n;
            }
            connection.Ended = connection.Ended || n == 0 || (n < 0 && errno != EAGAIN);
            open += !connection.Ended;
        }
        PeakOpen = std::max(PeakOpen, open);
    }
    struct Connection {
        int Fd;
        QByteArray Received;
        bool Ended;
    };
    std::vector<Connection> Connections;
    quint16 Port = 0;
    bool Reading = false;
    qint64 Total = 0;
    int PeakOpen = 0; // connections open at once, as seen while reading

private:
    int m_listener = -1;
};

// As the service's unit restricts it (RestrictAddressFamilies=AF_INET AF_UNIX): a netlink socket, which
// listing the host's interfaces needs, cannot be made. A seccomp filter, set in the child before exec.
void AllowOnlyInetAndUnixSockets()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof filter / sizeof filter[0], filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        ::_exit(99);
}

// How many connections the relay keeps draining at once, at most.
constexpr int DrainingPoolCap = 256;

// A client that connects and waits for its greeting, blocking; -1 when either fails.
int GreetedClient(quint16 port)
{
    const int fd = RawConnect(port);
    if (fd < 0)
        return -1;
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char greeting[17];
    if (::recv(fd, greeting, sizeof greeting, MSG_WAITALL) != ssize_t(sizeof greeting)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends what the socket takes of data without waiting: the count taken.
qint64 SendWhatItTakes(int fd, const QByteArray& data)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    qint64 taken = 0;
    while (taken < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + taken, size_t(data.size() - taken), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        taken += n;
    }
    return taken;
}

// One client's bytes: its number first, so that the RIX connection that got them tells whose they are.
QByteArray ClientPayload(int client, qsizetype size)
{
    QByteArray payload = QByteArray("client ") + QByteArray::number(client).rightJustified(5, '0') + '\n';
    payload += Pattern(size - payload.size(), quint32(client));
    return payload;
}

// Every RIX connection that received bytes got what one client handed over, in order, and no client's
// bytes came on two; whole says every client's bytes arrived whole.
void CheckEachClientArrived(const StalledRix& rix, const std::vector<QByteArray>& taken, bool whole)
{
    std::vector<bool> seen(taken.size());
    for (const auto& connection : rix.Connections) {
        const QByteArray& got = connection.Received;
        if (got.isEmpty())
            continue;
        const int client = got.mid(7, 5).toInt();
        QVERIFY2(client >= 0 && size_t(client) < taken.size() && !seen[size_t(client)], got.left(13).constData());
        seen[size_t(client)] = true;
        QVERIFY2(whole ? got == taken[size_t(client)] : taken[size_t(client)].startsWith(got),
                 qPrintable(QStringLiteral("client %1: %2 of %3 bytes")
                                .arg(client)
                                .arg(got.size())
                                .arg(taken[size_t(client)].size())));
    }
    for (size_t client = 0; client < taken.size() && whole; ++client)
        QVERIFY2(seen[client] || taken[client].isEmpty(), qPrintable(QStringLiteral("client %1 lost").arg(client)));
}

// The bytes the error log says never reached the RIX: each report's length, or where one line stands
// for several, the bytes of them all.
qint64 ReportedUndelivered(const QByteArray& errorLog)
{
    static const QRegularExpression line(
        QStringLiteral("Error sending to Server: Socket #\\d+ Len (\\d+)(?:.*, (\\d+) bytes in all\\))?"));
    qint64 bytes = 0;
    for (auto match = line.globalMatch(QString::fromLatin1(errorLog)); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        bytes += (found.hasCaptured(2) ? found.captured(2) : found.captured(1)).toLongLong();
    }
    return bytes;
}

int OpenDescriptors(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

void tst_faults::initTestCase()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    ::signal(SIGPIPE, SIG_IGN);
}

// Every test runs against the relay with a window (headless here) and against tolvaned.
void tst_faults::initTestCase_data()
{
    QTest::addColumn<QString>("binary");
    QTest::newRow("tolvane") << QStringLiteral(TOLVANE_BINARY);
    QTest::newRow("tolvaned") << QStringLiteral(TOLVANED_BINARY);
}

void tst_faults::init()
{
    QFETCH_GLOBAL(QString, binary);
    m_binary = binary;
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->path();
    m_rix = std::make_unique<Peer>();
    m_rix->Echo = true;
    m_arguments.clear();
    m_restrictFamilies = false;
    m_journal.clear();
}

void tst_faults::cleanup()
{
    if (m_tolvane.state() != QProcess::NotRunning) {
        m_tolvane.terminate();
        if (!m_tolvane.waitForFinished(10000))
            m_tolvane.kill();
        m_tolvane.waitForFinished(5000);
    }
    m_rix.reset();
    if (m_folder != m_dir->path())
        ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    m_dir.reset();
}

quint16 tst_faults::StartRix(quint16 port)
{
    [&] { QVERIFY(m_rix->Listen(port)); }();
    return m_rix->Port();
}

void tst_faults::StartTolvane(quint16 rixPort, bool logData, const QByteArray& settingsPrefix, int descriptorLimit)
{
    m_clientPort = FreePort();
    // Whatever comes first, the last occurrence of each key decides.
    QVERIFY(WriteFile(m_folder + QStringLiteral("/iplog.ini"),
                      settingsPrefix + "\r\n" + SettingsFileText(rixPort, m_clientPort, true, logData)));
    Launch(descriptorLimit);
    // Waiting for the listening socket without connecting: a probe would be a client with a RIX
    // connection of its own.
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
}

void tst_faults::Launch(int descriptorLimit)
{
    if (!QFile::exists(m_folder + QStringLiteral("/tolvane")))
        QVERIFY(QFile::copy(m_binary, m_folder + QStringLiteral("/tolvane")));
    if (m_journal.isEmpty()) {
        m_tolvane.setProcessEnvironment(Headless());
        QVERIFY(WriteFile(StderrFile(), {}));
        m_tolvane.setStandardErrorFile(StderrFile(), QIODevice::Append);
    } else {
        QVERIFY(WriteFile(m_journal, {}));
        struct stat info { };
        QCOMPARE(::stat(QFile::encodeName(m_journal).constData(), &info), 0);
        m_tolvane.setProcessEnvironment(
            Headless({QStringLiteral("JOURNAL_STREAM=%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino))}));
        m_tolvane.setStandardErrorFile(m_journal, QIODevice::Append);
    }
    m_tolvane.setChildProcessModifier([descriptorLimit, restrict = m_restrictFamilies] {
        if (descriptorLimit > 0) {
            const rlimit limit{rlim_t(descriptorLimit), rlim_t(descriptorLimit)};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (restrict)
            AllowOnlyInetAndUnixSockets();
    });
    m_tolvane.start(m_folder + QStringLiteral("/tolvane"), m_arguments);
    QVERIFY(m_tolvane.waitForStarted(5000));
}

void tst_faults::CheckServes()
{
    QVERIFY(m_tolvane.state() == QProcess::Running);
    Client client;
    QVERIFY(client.Connect(m_clientPort));
    QTRY_VERIFY_WITH_TIMEOUT(client.Received.startsWith(Login), 10000);
    const QByteArray message = Pattern(4096, 99);
    client.Socket.write(message);
    QTRY_VERIFY_WITH_TIMEOUT(client.Received.size() >= Login.size() + message.size(), 10000);
    QCOMPARE(client.Received.mid(Login.size()), message);
}

qint64 tst_faults::ResidentKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_tolvane.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

qint64 tst_faults::CpuTicks() const
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(m_tolvane.processId()));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.at(11).toLongLong() + fields.at(12).toLongLong(); // utime + stime
}

qint64 tst_faults::Sleeps() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_tolvane.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLongLong();
    }
    return -1;
}

void tst_faults::connectionStorm()
{
    StartTolvane(StartRix());

    // Twenty ordinary clients relay while two thousand connect and reset at once.
    std::vector<std::unique_ptr<Client>> normal;
    for (int i = 0; i < 20; ++i) {
        normal.push_back(std::make_unique<Client>());
        QVERIFY(normal.back()->Connect(m_clientPort));
    }
    std::vector<int> storm;
    for (int i = 0; i < 2000; ++i) {
        const int fd = RawConnect(m_clientPort);
        if (fd >= 0)
            storm.push_back(fd);
    }
    for (int i = 0; i < 20; ++i)
        normal[size_t(i)]->Socket.write(Pattern(64 * 1024, quint32(i)));
    for (int fd : storm)
        Reset(fd);
    for (int i = 0; i < 20; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(normal[size_t(i)]->Received.size(), Login.size() + 64 * 1024, 30000);
    for (int i = 0; i < 20; ++i)
        QCOMPARE(normal[size_t(i)]->Received, Login + Pattern(64 * 1024, quint32(i)));
    CheckServes();
    // Resets show up as failed reads, nothing else.
    for (const QByteArray& line : ReadFile(QStringLiteral("Errorlog.txt")).split('\n').mid(11)) {
        if (!line.trimmed().isEmpty())
            QVERIFY2(line.contains("Socket Error #"), line.constData());
    }
}

void tst_faults::descriptorExhaustion()
{
    StartTolvane(StartRix(), false, {}, 256);

    // 400 clients need some 800 descriptors in the relay; it has 256.
    std::vector<int> clients;
    for (int i = 0; i < 400; ++i) {
        const int fd = RawConnect(m_clientPort);
        if (fd >= 0)
            clients.push_back(fd);
    }
    QTRY_VERIFY2_WITH_TIMEOUT(m_rix->Connections.size() >= 100,
                              qPrintable(QStringLiteral("%1 RIX connections").arg(m_rix->Connections.size())), 20000);
    QVERIFY(m_tolvane.state() == QProcess::Running);
    // Running out is written, though the error log had to be opened without a descriptor to spare.
    QTRY_VERIFY(
        ReadFile(QStringLiteral("Errorlog.txt")).contains(qPrintable(QString::fromLocal8Bit(strerror(EMFILE)))));
    // It does not spin while it waits for descriptors: it goes to sleep until its next timer or socket,
    // again and again (a relay that kept polling would never sleep), and four such rounds cost it well
    // under a quarter of a second of processor time.
    const qint64 ticks = CpuTicks();
    const qint64 sleeps = Sleeps();
    QTRY_VERIFY2_WITH_TIMEOUT(
        Sleeps() >= sleeps + 4,
        qPrintable(QStringLiteral("%1 sleeps, %2 ticks").arg(Sleeps() - sleeps).arg(CpuTicks() - ticks)), 20000);
    QVERIFY2(CpuTicks() - ticks < sysconf(_SC_CLK_TCK) / 4,
             qPrintable(QStringLiteral("%1 ticks in 4 sleeps").arg(CpuTicks() - ticks)));

    for (int fd : clients)
        ::close(fd);
    CheckServes();
}

void tst_faults::flappingRix()
{
    const quint16 rixPort = FreePort();
    StartRix(rixPort);
    m_rix->Echo = false;
    StartTolvane(rixPort);
    Client client;
    QVERIFY(client.Connect(m_clientPort));

    QByteArray sent;
    for (int restart = 0; restart < 20; ++restart) {
        // While the RIX connection is up, and while it is down: both reach the RIX, in order.
        QTRY_VERIFY_WITH_TIMEOUT(!m_rix->Connections.empty()
                                     && m_rix->Connections.back()->Socket->state() == QAbstractSocket::ConnectedState,
                                 5000);
        const QByteArray up = QStringLiteral("up %1;").arg(restart).toLatin1();
        client.Socket.write(up);
        sent += up;
        QTRY_COMPARE_WITH_TIMEOUT(m_rix->AllReceived, sent, 5000);

        m_rix->Server.close();
        for (const auto& connection : m_rix->Connections)
            connection->Socket->abort();
        const QByteArray down = QStringLiteral("down %1;").arg(restart).toLatin1();
        client.Socket.write(down);
        client.Socket.flush();
        sent += down;

        // The relay connects again by itself (the client sends nothing more), and once.
        const size_t connections = m_rix->Connections.size();
        QVERIFY(m_rix->Server.listen(QHostAddress::LocalHost, rixPort));
        QTRY_COMPARE_WITH_TIMEOUT(m_rix->AllReceived, sent, 5000);
        QCOMPARE(m_rix->Connections.size(), connections + 1);
    }
    m_rix->Echo = true;
    CheckServes();
}

void tst_faults::fullDisk()
{
    // The program folder on a small file system of its own (the program and a little more).
    m_folder = m_dir->filePath(QStringLiteral("small"));
    QVERIFY(QDir().mkpath(m_folder));
    const QByteArray size = "size=" + QByteArray::number(QFileInfo(m_binary).size() + (1 << 20));
    if (::mount("tmpfs", QFile::encodeName(m_folder).constData(), "tmpfs", 0, size.constData()) != 0)
        QSKIP("mounting a small tmpfs needs root; the settings write's failure path is tested in tst_files");
    StartTolvane(StartRix(), true);
    const QString filler = m_folder + QStringLiteral("/filler");
    const auto fill = [&filler] {
        QFile file(filler);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'f');
        while (file.write(block) == block.size() && file.flush()) { }
    };
    fill();
    CheckServes(); // a full disk stops no byte
    CheckServes();
    QVERIFY(QFile::remove(filler));
    CheckServes();
    QTRY_VERIFY(ReadFile(QStringLiteral("Eventlog.txt")).contains("RIX Connected"));

    // Full again at shutdown: iplog.ini stays as it was, byte for byte, and the next start uses it.
    const QByteArray settings = ReadFile(QStringLiteral("iplog.ini"));
    fill();
    Stop();
    QCOMPARE(ReadFile(QStringLiteral("iplog.ini")), settings);
    QVERIFY(QFile::remove(filler));
    Launch();
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
    CheckServes();
}

void tst_faults::hostileSettingsFiles_data()
{
    QTest::addColumn<QByteArray>("prefix");
    QByteArray random(64 * 1024, '\0');
    QRandomGenerator generator(7);
    for (char& c : random)
        c = char(generator.bounded(256));
    QTest::newRow("random bytes") << random;
    QTest::newRow("one 10 MB line") << QByteArray("RIX IP Address=") + QByteArray(10'000'000, '9');
    QByteArray manyLines;
    for (int i = 0; i < 100000; ++i)
        manyLines += "Packet Size=" + QByteArray::number(i) + "\r\n";
    QTest::newRow("100,000 lines") << manyLines;
}

void tst_faults::hostileSettingsFiles()
{
    QFETCH(QByteArray, prefix);
    StartTolvane(StartRix(), false, prefix);
    CheckServes();
}

void tst_faults::hostileLogPaths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    for (const char* name : {"Eventlog.txt", "DataLog.log", "Errorlog.txt"}) {
        for (const char* kind : {"fifo", "dangling link", "link to a file outside", "directory"})
            QTest::addRow("%s: %s", name, kind) << QString::fromLatin1(name) << QString::fromLatin1(kind);
    }
}

void tst_faults::hostileLogPaths()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    m_folder = m_dir->filePath(QStringLiteral("program"));
    QVERIFY(QDir().mkpath(m_folder));
    const QString path = m_folder + u'/' + name;
    const QString outside = m_dir->filePath(QStringLiteral("outside.txt"));
    MakeHostile(kind, path, outside);
    const QByteArray before = Describe(path);
    const QByteArray outsideBefore = Describe(outside);
    if (name == "Errorlog.txt") // failures to report
        QVERIFY(QDir(m_folder).mkdir(QStringLiteral("Eventlog.txt")));

    StartTolvane(StartRix(), true);
    CheckServes(); // nothing waits for a FIFO's reader
    CheckServes();
    Stop();
    QCOMPARE(Describe(path), before);
    QCOMPARE(Describe(outside), outsideBefore);
    // Reported once, not once per line.
    if (name == "Errorlog.txt") {
        QCOMPARE(ReadAll(StderrFile()).count("Errorlog.txt cannot be written"), 1);
        return;
    }
    const QByteArray errors = ReadFile(QStringLiteral("Errorlog.txt"));
    if (name == "Eventlog.txt") {
        QCOMPARE(errors.count("Retry"), 6);
        QCOMPARE(errors.count("Error Logging IP Message"), 1);
    } else {
        QCOMPARE(errors.count("Error writing to Data Log"), 1);
    }
}

void tst_faults::hostileSettingsPaths_data()
{
    QTest::addColumn<QString>("kind");
    for (const char* kind : {"fifo", "dangling link", "link to a file outside", "directory", "UTF-16", "unreadable"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void tst_faults::hostileSettingsPaths()
{
    QFETCH(QString, kind);
    if (kind == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads any file");
    m_folder = m_dir->filePath(QStringLiteral("program"));
    QVERIFY(QDir().mkpath(m_folder));
    const QString path = m_folder + QStringLiteral("/iplog.ini");
    const QString outside = m_dir->filePath(QStringLiteral("outside.txt"));
    MakeHostile(kind, path, outside);
    const QByteArray outsideBefore = Describe(outside);
    const QByteArray before = Describe(path);

    // Reported once at start-up; the shutdown leaves the file, and anything it leads to, alone.
    Launch();
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(QStringLiteral("Errorlog.txt")).contains("Error Reading iplog.ini file"), 10000);
    Stop();
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")).count("Error Reading iplog.ini file"), 1);
    QCOMPARE(Describe(path), before);
    QCOMPARE(Describe(outside), outsideBefore);
}

void tst_faults::killDuringShutdownWrite()
{
    StartRix();
    // A packet size that reads back as itself, so the saved file is the same whichever run wrote it.
    StartTolvane(m_rix->Server.serverPort(), false, QByteArrayLiteral("Packet Size=16383"));
    const QByteArray before = ReadFile(QStringLiteral("iplog.ini"));
    const QByteArray written = SettingsFileText(m_rix->Server.serverPort(), m_clientPort);
    // SIGKILL the moment the shutdown starts its new settings file beside the old one.
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(m_folder).constData(), IN_CREATE) >= 0);
    ::kill(pid_t(m_tolvane.processId()), SIGTERM);
    pollfd ready{watch, POLLIN, 0};
    const int events = ::poll(&ready, 1, 10000);
    ::kill(pid_t(m_tolvane.processId()), SIGKILL);
    ::close(watch);
    QCOMPARE(events, 1);
    QVERIFY(m_tolvane.waitForFinished(5000));
    // Old or new, never half of either; and the next run reads it and saves over what was left.
    const QByteArray after = ReadFile(QStringLiteral("iplog.ini"));
    QVERIFY2(after == before || after == written, after.constData());
    Launch();
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
    CheckServes();
    Stop();
    QCOMPARE(ReadFile(QStringLiteral("iplog.ini")), written);
    QVERIFY(!QFile::exists(m_folder + QStringLiteral("/iplog.ini.new")));
}

void tst_faults::rixThatNeverReads()
{
    m_rix->Read = false;
    m_rix->Echo = false;
    StartTolvane(StartRix());
    const qint64 baseline = ResidentKiB();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_clientPort);
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(m_rix->Connections.size(), size_t(1));
    // The RIX floods the client with 100 MiB and never reads what the client sends it.
    qint64 received = 0;
    connect(&client, &QTcpSocket::readyRead, this, [&] { received += client.readAll().size(); });
    const QByteArray chunk = Pattern(1 << 20, 6);
    for (int i = 0; i < 100; ++i)
        m_rix->Connections[0]->Socket->write(chunk);
    client.write(Pattern(32 * 1024 * 1024, 8));
    QTRY_COMPARE_WITH_TIMEOUT(received, qint64(Login.size()) + 100LL * 1024 * 1024, 60000);
    QVERIFY2(ResidentKiB() - baseline < MemoryGrowthKiB, qPrintable(QString::number(ResidentKiB() - baseline)));
    // Another client still gets its own RIX connection and its greeting.
    Client other;
    QVERIFY(other.ConnectGreeted(m_clientPort));
    QTRY_COMPARE(m_rix->Connections.size(), size_t(2));
}

void tst_faults::clientsThatSayByeAndCloseLeaveNothingBehind()
{
    m_rix->Echo = false;
    StartTolvane(StartRix());
    const int baseline = OpenDescriptors(m_tolvane.processId());
    // Each reads the greeting, sends its last words and closes at once; the last one half-closes.
    for (int i = 0; i < 5; ++i) {
        const int fd = RawConnect(m_clientPort);
        QVERIFY(fd >= 0);
        char greeting[17];
        QCOMPARE(::recv(fd, greeting, sizeof greeting, MSG_WAITALL), ssize_t(sizeof greeting));
        QCOMPARE(::send(fd, "bye;", 4, 0), ssize_t(4));
        if (i == 4) {
            ::shutdown(fd, SHUT_WR);
            char end;
            QCOMPARE(::recv(fd, &end, 1, 0), ssize_t(0)); // the relay closes its side in turn
        }
        ::close(fd);
    }
    QTRY_COMPARE(m_rix->AllReceived, QByteArray("bye;bye;bye;bye;bye;"));
    QTRY_COMPARE(ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Disconnected"), 5);
    QCOMPARE(ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Connected"), 5);
    // Every descriptor comes back, but those of the RIX connections the poll keeps warm for the
    // next clients.
    const auto warm = [this] { return m_rix->OpenCount(); };
    QTRY_VERIFY2(warm() >= 1 && warm() <= 4 && OpenDescriptors(m_tolvane.processId()) == baseline + warm(),
                 qPrintable(QStringLiteral("%1 descriptors, %2 at the start, %3 warm")
                                .arg(OpenDescriptors(m_tolvane.processId()))
                                .arg(baseline)
                                .arg(warm())));
    m_rix->Echo = true;
    CheckServes();
    QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
}

// Clients that each hand over their bytes and leave while the RIX reads nothing: every byte reaches the
// RIX once it reads again, each client's on a connection of its own, and the relay's memory stays
// within its bound of waiting bytes and one read buffer meanwhile.
void tst_faults::rixOutageIsWrittenOnceAtEachEnd()
{
    // The RIX is down from the start, with a client waiting. Two more clients come meanwhile: with each
    // the relay tries the RIX at once, so three attempts at least fail within the one outage.
    m_journal = m_dir->path() + QStringLiteral("/journal");
    const quint16 rixPort = FreePort();
    StartTolvane(rixPort);
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(GreetedClient(m_clientPort));
        QVERIFY(clients.back() >= 0);
    }
    QTRY_VERIFY(ReadFile(QStringLiteral("Errorlog.txt")).contains("Error Connecting to Switcher"));
    // It comes back: each client's RIX connection is made, and the end of the outage written.
    StartRix(rixPort);
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(QStringLiteral("Errorlog.txt")).contains("Switcher Connection Restored"), 10000);
    QTRY_COMPARE(m_rix->Connections.size(), size_t(3));
    for (int client : clients)
        ::close(client);
    Stop();
    const QByteArray errors = ReadFile(QStringLiteral("Errorlog.txt"));
    QCOMPARE(errors.count("Error Connecting to Switcher"), 1);
    QCOMPARE(errors.count("Switcher Connection Restored"), 1);
    QVERIFY(errors.contains(QStringLiteral("(RIX 127.0.0.1:%1)").arg(rixPort).toLatin1()));
    const QByteArray journal = ReadAll(m_journal);
    QCOMPARE(journal.count(QStringLiteral("<3>RIX 127.0.0.1:%1 cannot be reached").arg(rixPort).toLatin1()), 1);
    QCOMPARE(journal.count(QStringLiteral("<6>RIX 127.0.0.1:%1 reached again after").arg(rixPort).toLatin1()), 1);
}

void tst_faults::ownListenerFoundWithoutListingInterfaces()
{
    // An address of this host that is not loopback, as the RIX address; the RIX port is our client port.
    QString local;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            local = address.toString();
    }
    if (local.isEmpty())
        QSKIP("this host has no IPv4 address besides loopback");
    m_restrictFamilies = true;
    m_clientPort = FreePort();
    QVERIFY(WriteFile(m_folder + QStringLiteral("/iplog.ini"),
                      SettingsFileText(m_clientPort, m_clientPort, true, false, local)));
    Launch();
    QTRY_VERIFY_WITH_TIMEOUT(IsListening(m_clientPort), 10000);
    // A client's RIX connection comes back to the relay itself: found, written once, not made again.
    const int first = GreetedClient(m_clientPort);
    QVERIFY(first >= 0);
    QTRY_VERIFY(ReadFile(QStringLiteral("Errorlog.txt")).contains("own client port"));
    const int second = GreetedClient(m_clientPort);
    QVERIFY(second >= 0);
    QTRY_COMPARE(ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Connected"), 2);
    const QByteArray errors = ReadFile(QStringLiteral("Errorlog.txt"));
    QCOMPARE(errors.count("Error Connecting to Switcher"), 1);
    QVERIFY2(OpenDescriptors(m_tolvane.processId()) < 32,
             qPrintable(QString::number(OpenDescriptors(m_tolvane.processId()))));
    ::close(first);
    ::close(second);
    Stop();
    QCOMPARE(ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Connected"), 2);
}

void tst_faults::leavingClientsAndAStalledRix_data()
{
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("bytesEach");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("stopStalled"); // the relay is stopped while the RIX still reads nothing
    // More than the relay may hold in all, most of it in the kernel on the way to the RIX.
    QTest::newRow("300 clients of 1 MiB") << 300 << (1 << 20) << false << false;
    // More connections than the draining pool may hold.
    QTest::newRow("4,000 clients of 64 KiB") << 4000 << 64 * 1024 << false << false;
    // Past the bound, what a reset client sent last is counted, not held.
    QTest::newRow("4,000 clients of 64 KiB that reset") << 4000 << 64 * 1024 << true << false;
    // Clients still waiting for room at shutdown: what they handed over is counted too.
    QTest::newRow("300 clients of 64 KiB, stopped while stalled") << 300 << 64 * 1024 << false << true;
}

void tst_faults::leavingClientsAndAStalledRix()
{
    QFETCH(int, clients);
    QFETCH(int, bytesEach);
    QFETCH(bool, reset);
    QFETCH(bool, stopStalled);
#ifdef __SANITIZE_ADDRESS__
    clients /= 4; // the relay runs several times slower under AddressSanitizer
#endif
    StalledRix rix;
    StartTolvane(rix.Port);
    const qint64 pid = m_tolvane.processId();
    const qint64 baseline = ResidentKiB();
    const int descriptors = OpenDescriptors(pid);
    qint64 peak = baseline;
    int peakDescriptors = descriptors;
    std::vector<QByteArray> taken;
    qint64 total = 0;
    for (int i = 0; i < clients; ++i) {
        const int fd = GreetedClient(m_clientPort);
        QVERIFY2(fd >= 0, qPrintable(QStringLiteral("client %1 was not greeted").arg(i)));
        const QByteArray payload = ClientPayload(i, bytesEach);
        taken.push_back(payload.left(SendWhatItTakes(fd, payload)));
        total += taken.back().size();
        if (reset)
            Reset(fd);
        else
            ::close(fd);
        rix.Pump();
        if (i % 20 == 0) {
            peak = std::max(peak, ResidentKiB());
            peakDescriptors = std::max(peakDescriptors, OpenDescriptors(pid));
        }
    }
    if (stopStalled)
        Stop();
    // The RIX reads again: every client is seen leaving, and what the relay took reaches the RIX.
    rix.Reading = true;
    const auto allLeft = [&] {
        rix.Pump();
        peak = std::max(peak, ResidentKiB());
        return ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Disconnected") == clients;
    };
    if (!stopStalled) {
        QTRY_VERIFY_WITH_TIMEOUT(allLeft(), 90000);
        if (!reset)
            QTRY_VERIFY_WITH_TIMEOUT((rix.Pump(), rix.Total >= total), 90000);
        // Whatever did not arrive is in the error log with its count, to the byte.
        Stop();
    }
    const qint64 undelivered = ReportedUndelivered(ReadFile(QStringLiteral("Errorlog.txt")));
    QTRY_VERIFY((rix.Pump(), rix.Total + undelivered >= total));
    QCOMPARE(rix.Total + undelivered, total);
    CheckEachClientArrived(rix, taken, !reset && !stopStalled);
    if (!reset && !stopStalled)
        QCOMPARE(ReadFile(QStringLiteral("Errorlog.txt")), QByteArray());
    // Room made when the RIX reads again lets waiting clients in a pool's worth at a time.
    QVERIFY2(rix.PeakOpen <= DrainingPoolCap + 4 + 8,
             qPrintable(QStringLiteral("%1 RIX connections").arg(rix.PeakOpen)));
    // The relay held no more than its bound of waiting bytes and one read buffer, and a descriptor for
    // each client not yet read and each draining connection up to their cap.
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer keeps freed memory in quarantine
    QVERIFY2(peak - baseline < 64 * 1024 + 256, qPrintable(QStringLiteral("%1 KiB more").arg(peak - baseline)));
#endif
    QVERIFY2(peakDescriptors - descriptors <= clients + DrainingPoolCap + 8,
             qPrintable(QStringLiteral("%1 descriptors more").arg(peakDescriptors - descriptors)));
}

void tst_faults::peersCannotFloodTheErrorLog_data()
{
    QTest::addColumn<bool>("atTheCap");
    QTest::newRow("clients that reset") << false;
    QTest::newRow("clients cycling at the cap") << true;
}

void tst_faults::peersCannotFloodTheErrorLog()
{
    QFETCH(bool, atTheCap);
    if (atTheCap)
        m_arguments = QStringList{QStringLiteral("--max-clients"), QStringLiteral("2")};
    StartTolvane(StartRix());
    const int holder = atTheCap ? GreetedClient(m_clientPort) : -1;
    constexpr int cycles = 1000;
    for (int i = 0; i < cycles; ++i) {
        const int fd = GreetedClient(m_clientPort);
        if (fd < 0)
            continue; // at the cap: the last one has not been seen leaving yet
        if (atTheCap) {
            // The third is turned away at once; the second then leaves, and the count is under the cap.
            const int refused = RawConnect(m_clientPort);
            char byte;
            QVERIFY(refused >= 0 && ::recv(refused, &byte, 1, 0) <= 0);
            ::close(refused);
            ::close(fd);
        } else {
            QCOMPARE(::send(fd, "x", 1, MSG_NOSIGNAL), ssize_t(1));
            Reset(fd);
        }
        QCoreApplication::processEvents();
    }
    if (!atTheCap)
        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(QStringLiteral("Eventlog.txt")).count("RIX Disconnected"), cycles, 30000);
    const QByteArray errors = ReadFile(QStringLiteral("Errorlog.txt"));
    // A reset is a client leaving; the cap is written once while it lasts.
    QCOMPARE(errors.count("Socket Error"), 0);
    QCOMPARE(errors.count("Client Limit"), atTheCap ? 1 : 0);
    if (holder >= 0)
        ::close(holder);
    CheckServes();
}

QTEST_GUILESS_MAIN(tst_faults)
#include "tst_faults.moc"
