#include "core/RuntimeState.h"
#include "files/DataLabel.h"
#include "files/FileAccess.h"
#include "files/Journal.h"
#include "files/LogText.h"
#include "files/NativeFile.h"
#include "support/FileSupport.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <functional>
#include <memory>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArrayList Lines(const QByteArray& text)
{
    QByteArrayList lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

// Within its scope a write that would take a file past bytes fails part-way (EFBIG), the way a full
// disk fails it: the process's own file-size limit is the seam.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        const rlimit limit{bytes, m_old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

// The data log's rendering written the plain way, one byte at a time: the reference every burst is
// checked against.
QByteArray ReferenceFormatDataBytes(QByteArrayView data)
{
    QByteArray text;
    for (const char c : data) {
        const auto byte = quint8(c);
        if (byte < 32 && byte != '\n' && byte != '\r') {
            text += '^';
            text += char(byte + 64);
        } else {
            text += c;
        }
    }
    if (!data.endsWith('\n'))
        text += "\r\n";
    return text;
}

// The settings as one comparable text.
QString Describe(const RuntimeState& s)
{
    return QStringLiteral("rix %1 %2 client %3 %4 packet %5 mode %6 log %7")
        .arg(s.RixIPPort)
        .arg(s.RixIPAddress)
        .arg(s.ClientIPPort)
        .arg(s.ClientIPAddress)
        .arg(s.PacketSize)
        .arg(s.OperationMode)
        .arg(s.LogData ? 1 : 0);
}

} // namespace

class tst_files : public QObject {
    Q_OBJECT
private slots:
    void journalNeverWaitsForItsReader();
    void init();
    void cleanup();

    void readSettings_data();
    void readSettings();
    void missingSettingsFileGivesDefaultsAndCreatesNothing();
    void writtenSettingsAreExact();
    void settingsWrittenBackOnlyWhenSafeAndMeant_data();
    void settingsWrittenBackOnlyWhenSafeAndMeant();
    void failedSettingsWriteLeavesTheOldFile_data();
    void failedSettingsWriteLeavesTheOldFile();

    void errorLogLayout_data();
    void errorLogLayout();
    void errorLogStartsWithItsHeader();

    void eventLogLayout_data();
    void eventLogLayout();
    void logsRollOverAtTheLimit_data();
    void logsRollOverAtTheLimit();
    void rollOverNeverOverwritesAndKeepsTheNewest_data();
    void rollOverNeverOverwritesAndKeepsTheNewest();
    void logsFollowTheirName_data();
    void logsFollowTheirName();
    void noLineWithoutItsHeader();
    void eventLogSucceedsOnTheSixthAttempt();
    void failingLogsReportOnceAMinute_data();
    void failingLogsReportOnceAMinute();

    void formatDataBytes_data();
    void formatDataBytes();
    void burstsRenderAsTheReference_data();
    void burstsRenderAsTheReference();
    void gatheredWriteGoesOnWhereItStopped_data();
    void gatheredWriteGoesOnWhereItStopped();
    void dataLogEntries();
    void dataLogEntryWholeOrNotAtAll_data();
    void dataLogEntryWholeOrNotAtAll();
    void dataLogOffTouchesNoFile();
    void labelsShowABoundedPrefix();

private:
    QString Path(const QString& name) const { return m_dir->path() + u'/' + name; }

    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    RecordingErrors m_errors;
    RecordingView m_view;
    TestClock m_clock;
};

void tst_files::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_state = RuntimeState();
    m_state.AppPath = m_dir->path() + u'/';
    m_errors.Reports.clear();
    m_clock = TestClock();
    QLocale::setDefault(QLocale::c());
}

void tst_files::cleanup()
{
    m_dir.reset();
}

void tst_files::readSettings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("reports");
    QTest::newRow("as written with defaults")
        << QByteArray("CONFIGURATION\r\nRIX IP Port=1200\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=1100\r\n"
                      "Client IP Address=127.0.0.1\r\nPacket Size=16383\r\nServer Mode=Yes\r\nLog Data=No\r\n")
        << "rix 1200 127.0.0.1 client 1100 127.0.0.1 packet 16383 mode 0 log 0" << 0;
    QTest::newRow("empty file assigns nothing, reported")
        << QByteArray() << "rix 0  client 0  packet 0 mode 0 log 0" << 1;
    QTest::newRow("rix port 0 falls back, client port 0 stays")
        << QByteArray("RIX IP Port=0\r\nClient IP Port=0\r\n") << "rix 1200  client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("negative client port falls back")
        << QByteArray("Client IP Port=-5\r\n") << "rix 0  client 1100  packet 0 mode 0 log 0" << 0;
    QTest::newRow("packet 1024") << QByteArray("Packet Size=1024\r\n") << "rix 0  client 0  packet 16383 mode 0 log 0"
                                 << 0;
    QTest::newRow("packet 1025") << QByteArray("Packet Size=1025\r\n") << "rix 0  client 0  packet 1025 mode 0 log 0"
                                 << 0;
    QTest::newRow("packet 20000") << QByteArray("Packet Size=20000\r\n") << "rix 0  client 0  packet 16383 mode 0 log 0"
                                  << 0;
    QTest::newRow("packet not a number") << QByteArray("Packet Size=lots\r\n")
                                         << "rix 0  client 0  packet 16383 mode 0 log 0" << 0;
    QTest::newRow("blanks around the equals sign")
        << QByteArray("RIX IP Port = 1300\r\n") << "rix 1200  client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("leading number") << QByteArray("RIX IP Port=12abc\r\n") << "rix 12  client 0  packet 0 mode 0 log 0"
                                    << 0;
    QTest::newRow("lower-case yes counts as no")
        << QByteArray("Server Mode=yes\r\nLog Data=yes\r\n") << "rix 0  client 0  packet 0 mode 1 log 0" << 0;
    QTest::newRow("exact Yes") << QByteArray("Server Mode=Yes\r\nLog Data=Yes\r\n")
                               << "rix 0  client 0  packet 0 mode 0 log 1" << 0;
    QTest::newRow("empty address falls back")
        << QByteArray("RIX IP Address=\r\n") << "rix 0 127.0.0.1 client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("comma splits an item")
        << QByteArray("RIX IP Address=10.0.0.1,10.0.0.2\r\n") << "rix 0 10.0.0.1 client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("quoted item and leading blanks")
        << QByteArray("   \"Client IP Address=10.1.1.1\"\r\n") << "rix 0  client 0 10.1.1.1 packet 0 mode 0 log 0" << 0;
    QTest::newRow("last occurrence wins")
        << QByteArray("Log Data=Yes\r\nLog Data=No\r\n") << "rix 0  client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("line feeds alone") << QByteArray("RIX IP Port=1500\nClient IP Port=1600\n")
                                      << "rix 1500  client 1600  packet 0 mode 0 log 0" << 0;
    QTest::newRow("trailing blanks dropped")
        << QByteArray("Server Mode=Yes  \r\n") << "rix 0  client 0  packet 0 mode 0 log 0" << 0;
    QTest::newRow("out of range: reported, skipped, the rest applied")
        << QByteArray("RIX IP Port=99999999999\r\nClient IP Port=1300\r\n")
        << "rix 0  client 1300  packet 0 mode 0 log 0" << 1;
}

void tst_files::readSettings()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, expected);
    QFETCH(int, reports);
    QVERIFY(WriteFile(Path("iplog.ini"), text));
    QCOMPARE(ReadSettingsFile(m_state, m_errors), reports == 0);
    QCOMPARE(Describe(m_state), expected);
    QCOMPARE(m_errors.Reports.size(), reports);
    for (const QString& report : m_errors.Reports)
        QVERIFY(report.startsWith(QLatin1String("Error Reading iplog.ini file|File Error|")));
    // The user's file is never deleted or changed by reading it.
    QCOMPARE(ReadAll(Path("iplog.ini")), text);
}

void tst_files::missingSettingsFileGivesDefaultsAndCreatesNothing()
{
    QVERIFY(ReadSettingsFile(m_state, m_errors));
    QCOMPARE(Describe(m_state), QStringLiteral("rix 1200 127.0.0.1 client 1100 127.0.0.1 packet 16383 mode 0 log 0"));
    QVERIFY(!QFile::exists(Path("iplog.ini")));
}

void tst_files::writtenSettingsAreExact()
{
    m_state.RixIPPort = 1201;
    m_state.RixIPAddress = QStringLiteral("10.0.0.9");
    m_state.ClientIPPort = -3;
    m_state.ClientIPAddress = QStringLiteral("10.0.0.8");
    m_state.PacketSize = 2048;
    m_state.OperationMode = 1;
    m_state.LogData = true;
    QVERIFY(WriteSettingsFile(m_state, m_errors));
    QCOMPARE(ReadAll(Path("iplog.ini")),
             QByteArray("CONFIGURATION\r\nRIX IP Port=1201\r\nRIX IP Address=10.0.0.9\r\nClient IP Port=-3\r\n"
                        "Client IP Address=10.0.0.8\r\nPacket Size=2048\r\nServer Mode=No\r\nLog Data=Yes\r\n"));
    // Read back, the same settings (the negative client port falls back, as on any read).
    RuntimeState again;
    again.AppPath = m_state.AppPath;
    QVERIFY(ReadSettingsFile(again, m_errors));
    QCOMPARE(Describe(again), QStringLiteral("rix 1201 10.0.0.9 client 1100 10.0.0.8 packet 2048 mode 1 log 1"));
}

void tst_files::settingsWrittenBackOnlyWhenSafeAndMeant_data()
{
    QTest::addColumn<QByteArray>("before"); // a null array: no file
    QTest::addColumn<QString>("meanwhile"); // on disk while the program runs: "", "edited" or "deleted"
    QTest::addColumn<bool>("changedInProgram");
    QTest::addColumn<bool>("written");
    const QByteArray settings("RIX IP Port=1300\r\nClient IP Port=1400\r\n");
    QByteArray utf16("\xff\xfe");
    for (char c : QByteArray("RIX IP Port=1300\r\n"))
        utf16 += QByteArray(1, c) + '\0';
    QTest::newRow("read, unchanged: written in full") << settings << "" << false << true;
    QTest::newRow("edited since: left as edited") << settings << "edited" << false << false;
    QTest::newRow("edited since, changed in program") << settings << "edited" << true << true;
    QTest::newRow("deleted since: written again") << settings << "deleted" << false << true;
    QTest::newRow("UTF-16: left") << utf16 << "" << false << false;
    QTest::newRow("UTF-16, changed in program") << utf16 << "" << true << true;
    QTest::newRow("empty: left") << QByteArray("") << "" << false << false;
    QTest::newRow("no file: defaults written") << QByteArray() << "" << false << true;
    QTest::newRow("no file, one made since: left") << QByteArray() << "edited" << false << false;
}

void tst_files::settingsWrittenBackOnlyWhenSafeAndMeant()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, meanwhile);
    QFETCH(bool, changedInProgram);
    QFETCH(bool, written);
    if (!before.isNull())
        QVERIFY(WriteFile(Path("iplog.ini"), before));
    ReadSettingsFile(m_state, m_errors);
    QByteArray onDisk = before;
    if (meanwhile == "edited") {
        onDisk = "RIX IP Port=1500\r\n";
        QVERIFY(WriteFile(Path("iplog.ini"), onDisk));
    } else if (meanwhile == "deleted") {
        QVERIFY(QFile::remove(Path("iplog.ini")));
    }
    if (changedInProgram)
        m_state.RixIPAddress = QStringLiteral("10.9.9.9");
    QVERIFY(WriteSettingsFile(m_state, m_errors));
    QCOMPARE(ReadAll(Path("iplog.ini")), written ? LogText::Encode(SettingsText(m_state)) : onDisk);
}

void tst_files::failedSettingsWriteLeavesTheOldFile_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("a directory in its place") << true;
    QTest::newRow("the write cut short") << false;
}

void tst_files::failedSettingsWriteLeavesTheOldFile()
{
    QFETCH(bool, directory);
    const QByteArray old("RIX IP Port=1300\r\n");
    if (directory)
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("iplog.ini")));
    else
        QVERIFY(WriteFile(Path("iplog.ini"), old));
    ReadSettingsFile(m_state, m_errors);
    m_errors.Reports.clear();
    m_state.RixIPAddress = QStringLiteral("10.9.9.9");
    {
        FileSizeLimit limit(directory ? RLIM_INFINITY : 40);
        QVERIFY(!WriteSettingsFile(m_state, m_errors));
    }
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY(m_errors.Reports[0].startsWith(QLatin1String("Error Writing iplog.ini file|File Error|")));
    if (directory)
        QVERIFY(QFileInfo(Path("iplog.ini")).isDir());
    else
        QCOMPARE(ReadAll(Path("iplog.ini")), old);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"iplog.ini"});
}

void tst_files::errorLogLayout_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("expected");
    // C locale: "5 Dec 2026 21:41:44", 19 characters, padded to 24.
    QTest::newRow("short date text") << "C"
                                     << "File Error"
                                     << "5 Dec 2026 21:41:44     File Error                          "
                                        "Error Writing iplog.ini file: Error # 5 - Access denied";
    // Korean: exactly 24 characters, so the location follows at once.
    QTest::newRow("24-character date text") << "ko_KR"
                                            << "File Error"
                                            << "26. 12. 5. 오후 9시 41분 44초File Error                          "
                                               "Error Writing iplog.ini file: Error # 5 - Access denied";
    QTest::newRow("location of 36 characters") << "C"
                                               << "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                               << "5 Dec 2026 21:41:44     ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789Error "
                                                  "Writing iplog.ini file: Error # 5 - Access denied";
}

void tst_files::errorLogLayout()
{
    QFETCH(QString, locale);
    QFETCH(QString, location);
    QFETCH(QString, expected);
    QLocale::setDefault(QLocale(locale));
    ErrorLog log(m_state, m_clock);
    log.LogError(QStringLiteral("Error Writing iplog.ini file"), location, Failure{5, QStringLiteral("Access denied")});
    const QByteArrayList lines = Lines(ReadAll(Path("Errorlog.txt")));
    QCOMPARE(lines.size(), 12);
    QCOMPARE(QString::fromLocal8Bit(lines[11]), expected);
}

void tst_files::errorLogStartsWithItsHeader()
{
    ErrorLog log(m_state, m_clock);
    log.LogError(QStringLiteral("Error Updating Lables"), QStringLiteral("Form Error"));
    const QByteArray text = ReadAll(Path("Errorlog.txt"));
    QVERIFY(text.endsWith(" - \r\n")); // no failure pending: code 0, no description
    const QByteArrayList lines = Lines(text);
    QCOMPARE(lines.size(), 12);
    QVERIFY(lines[0].startsWith(QByteArray(13, ' ') + 'T'));
    QCOMPARE(lines[1], QByteArray());
    QVERIFY(lines[2].startsWith(QByteArray(19, ' ') + 'T'));
    QCOMPARE(lines[5], QByteArray());
    QCOMPARE(lines[6], QByteArray());
    QCOMPARE(lines[7], QByteArray("KEL Server Module Software Error Logfile"));
    QCOMPARE(lines[8], QByteArray());
    QCOMPARE(lines[9], QByteArray(" DATE     TIME           LOCATION                           MESSAGE DESCRIPTION"));
    QCOMPARE(lines[10], QByteArray(80, '-'));
    QVERIFY(lines[11].endsWith("Error Updating Lables: Error # 0 - "));
    // A second report appends one line, no second header.
    log.LogError(QStringLiteral("Retry"), QStringLiteral("Message Log Error"));
    QCOMPARE(Lines(ReadAll(Path("Errorlog.txt"))).size(), 13);
}

void tst_files::eventLogLayout_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("address") << "10.0.0.5" << QByteArray("5 Dec 2026 21:41:44      10.0.0.5           RIX Connected");
    QTest::newRow("no address") << "" << QByteArray("5 Dec 2026 21:41:44                         RIX Connected");
    QTest::newRow("address reaching column 44")
        << "a-very-long-client-address"
        << QByteArray("5 Dec 2026 21:41:44      a-very-long-client-addressRIX Connected");
}

void tst_files::eventLogLayout()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, expected);
    EventLog log(m_state, m_clock, m_errors);
    log.LogEvent(QStringLiteral("RIX Connected"), address);
    log.LogEvent(QString(), address); // an empty message writes nothing
    const QByteArrayList lines = Lines(ReadAll(Path("Eventlog.txt")));
    QCOMPARE(lines.size(), 13);
    QCOMPARE(lines[7], QByteArray("KEL Server Module Event Logfile"));
    QCOMPARE(lines[8], QByteArray("Version: Version 2.01 - 09/19/2019"));
    QCOMPARE(lines[10], QByteArray(" DATE     TIME           CLIENT ADDRESS      MESSAGE DESCRIPTION"));
    QCOMPARE(lines[12], expected);
    QVERIFY(m_errors.Reports.isEmpty());
}

namespace {

// One log of each kind, so that tests can treat the three alike. Write owns the log.
struct AnyLog {
    QString Name;
    QString Rolled; // its dated name for the test clock's minute, without the extension
    QString Extension;
    std::function<void()> Write;
};

const std::pair<const char*, int> LogKinds[] = {{"event log", 0}, {"data log", 1}, {"error log", 2}};

AnyLog MakeLog(int which, RuntimeState& state, const Clock& clock, ErrorReporter& errors)
{
    state.LogData = true;
    if (which == 0) {
        auto log = std::make_shared<EventLog>(state, clock, errors);
        return {"Eventlog.txt", "EventLog 120526 2141", ".txt",
                [log] { log->LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5")); }};
    }
    if (which == 1) {
        auto log = std::make_shared<DataLog>(state, clock, errors);
        return {"DataLog.log", "DataLog 120526 2141", ".log",
                [log] { log->WriteDataLog("next", QStringLiteral("10.0.0.5")); }};
    }
    auto log = std::make_shared<ErrorLog>(state, clock);
    return {"Errorlog.txt", "ErrorLog 120526 2141", ".txt",
            [log] { log->LogError(QStringLiteral("Retry"), QStringLiteral("Message Log Error")); }};
}

} // namespace

void tst_files::logsRollOverAtTheLimit_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<qint64>("size");
    for (const auto& [name, which] : LogKinds) {
        QTest::addRow("%s, 2,047,999 bytes", name) << which << qint64(2047999);
        QTest::addRow("%s, 2,048,000 bytes", name) << which << qint64(2048000);
    }
}

void tst_files::logsRollOverAtTheLimit()
{
    QFETCH(int, which);
    QFETCH(qint64, size);
    const AnyLog log = MakeLog(which, m_state, m_clock, m_errors);
    const QByteArray old(size, 'x');
    QVERIFY(WriteFile(Path(log.Name), old));
    log.Write();
    const bool rolls = size >= LogText::RollOverSize;
    QCOMPARE(QFile::exists(Path(log.Rolled + log.Extension)), rolls);
    const QByteArray now = ReadAll(Path(log.Name));
    if (rolls) {
        QCOMPARE(ReadAll(Path(log.Rolled + log.Extension)), old);
        QVERIFY(now.size() < 2000);
        QCOMPARE(now.startsWith(LogText::Banner()), which != 1); // a new file gets its header
    } else {
        QVERIFY(now.startsWith(old));
        QVERIFY(now.size() > old.size());
    }
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_files::rollOverNeverOverwritesAndKeepsTheNewest_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("keepLogs");
    for (const auto& [name, which] : LogKinds) {
        QTest::addRow("%s, all kept", name) << which << 0;
        QTest::addRow("%s, two kept", name) << which << 2;
    }
}

void tst_files::rollOverNeverOverwritesAndKeepsTheNewest()
{
    QFETCH(int, which);
    QFETCH(int, keepLogs);
    m_state.KeepLogs = keepLogs;
    const AnyLog log = MakeLog(which, m_state, m_clock, m_errors);
    // Not copies of this log: never deleted.
    QVERIFY(WriteFile(Path(log.Rolled.section(u' ', 0, 0) + " notes" + log.Extension), "mine"));
    QVERIFY(WriteFile(Path("Other 120526 2141" + log.Extension), "other"));
    for (char fill : {'a', 'b', 'c'}) {
        QVERIFY(WriteFile(Path(log.Name), QByteArray(LogText::RollOverSize, fill)));
        log.Write();
        m_clock.Advance(1); // the same minute
    }
    const auto first = [&](const QString& name) { return ReadAll(Path(name + log.Extension)).left(1); };
    QCOMPARE(first(log.Rolled), QByteArray(keepLogs ? "" : "a"));
    QCOMPARE(first(log.Rolled + " (2)"), QByteArray("b"));
    QCOMPARE(first(log.Rolled + " (3)"), QByteArray("c"));
    QCOMPARE(first(log.Rolled.section(u' ', 0, 0) + " notes"), QByteArray("m"));
    QCOMPARE(first("Other 120526 2141"), QByteArray("o"));
}

void tst_files::logsFollowTheirName_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QString>("change");
    for (const auto& [name, which] : LogKinds) {
        for (const char* change : {"empty file there", "deleted", "moved", "replaced"})
            QTest::addRow("%s, %s", name, change) << which << QString::fromLatin1(change);
    }
}

void tst_files::logsFollowTheirName()
{
    QFETCH(int, which);
    QFETCH(QString, change);
    const AnyLog log = MakeLog(which, m_state, m_clock, m_errors);
    const QString path = Path(log.Name);
    const bool header = which != 1;
    QByteArray before;
    if (change == "empty file there") {
        QVERIFY(WriteFile(path, QByteArray()));
    } else {
        log.Write();
        before = ReadAll(path);
        if (change == "deleted")
            QVERIFY(QFile::remove(path));
        else if (change == "moved")
            QVERIFY(QFile::rename(path, Path("moved")));
        else {
            QVERIFY(QFile::rename(path, Path("moved")));
            QVERIFY(WriteFile(path, "someone else's\r\n"));
        }
        // A second later on the steady clock: the name is checked whatever the system time says.
        m_clock.Monotonic += 1000;
    }
    log.Write();
    const QByteArray now = ReadAll(path);
    if (change == "replaced")
        QVERIFY(now.startsWith("someone else's\r\n"));
    else
        QCOMPARE(now.startsWith(LogText::Banner()), header);
    QCOMPARE(now.count(LogText::Banner()), change == "replaced" || !header ? 0 : 1);
    if (change == "moved" || change == "replaced")
        QCOMPARE(ReadAll(Path("moved")), before);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_files::noLineWithoutItsHeader()
{
    // A full disk while a new log starts: nothing is left half-headed, and when space returns the
    // file starts with its header.
    EventLog log(m_state, m_clock, m_errors);
    {
        FileSizeLimit limit(100);
        log.LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5"));
    }
    QCOMPARE(m_errors.Reports.size(), 7);
    QCOMPARE(QFileInfo(Path("Eventlog.txt")).size(), qint64(0));
    m_clock.Advance(60);
    log.LogEvent(QStringLiteral("RIX Disconnected"), QStringLiteral("10.0.0.5"));
    const QByteArray text = ReadAll(Path("Eventlog.txt"));
    QVERIFY(text.startsWith(LogText::Banner()));
    QCOMPARE(Lines(text).size(), 13);
}

void tst_files::eventLogSucceedsOnTheSixthAttempt()
{
    // The file is locked for five attempts and free for the sixth.
    class LockedFiveTimes final : public EventLog {
    public:
        using EventLog::EventLog;
        int Attempts = 0;
        void AppendAttempt(QByteArrayView bytes, qsizetype& done) override
        {
            if (++Attempts <= 5)
                throw Failure{33, QStringLiteral("locked")};
            EventLog::AppendAttempt(bytes, done);
        }
    };
    LockedFiveTimes log(m_state, m_clock, m_errors);
    log.LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5"));
    QCOMPARE(m_errors.Reports, QStringList(5, QStringLiteral("Retry|Message Log Error|33")));
    QVERIFY(ReadAll(Path("Eventlog.txt")).endsWith("RIX Connected\r\n"));
}

void tst_files::failingLogsReportOnceAMinute_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<QByteArray>("report");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("setHours"); // the system time set back or forward after the first report
    const QByteArray eventReport("Error Logging IP Message: Error # 0 - ");
    const QByteArray dataReport("Error writing to Data Log: Error # -2 - not a regular file");
    for (int hours : {0, -2, 2}) {
        const QByteArray set = hours == 0 ? "" : hours < 0 ? ", system time set back 2 h" : ", set forward 2 h";
        QTest::addRow("event log%s", set.constData()) << 0 << eventReport << 6 << hours;
        QTest::addRow("data log%s", set.constData()) << 1 << dataReport << 0 << hours;
    }
}

void tst_files::failingLogsReportOnceAMinute()
{
    QFETCH(int, which);
    QFETCH(QByteArray, report);
    QFETCH(int, retries);
    QFETCH(int, setHours);
    ErrorLog errors(m_state, m_clock);
    const AnyLog log = MakeLog(which, m_state, m_clock, errors);
    QVERIFY(QDir(m_dir->path()).mkdir(log.Name));
    const auto errorLog = [this] { return ReadAll(Path("Errorlog.txt")); };
    for (int i = 0; i < 5; ++i)
        log.Write();
    QCOMPARE(errorLog().count(report), 1);
    QCOMPARE(errorLog().count("Retry"), retries);
    // The minute is one of steady time: setting the system time neither ends nor stretches it.
    m_clock.Moment = m_clock.Moment.addSecs(setHours * 3600);
    m_clock.Advance(59);
    log.Write();
    QCOMPARE(errorLog().count(report), 1);
    // A minute after the last report the next failure is written, with the count of those left out.
    m_clock.Advance(1);
    log.Write();
    QCOMPARE(errorLog().count(report), 2);
    QCOMPARE(errorLog().count("Retry"), 2 * retries);
    QVERIFY(errorLog().contains("(5 more failures of this log since the last report not written)"));
}

void tst_files::formatDataBytes_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("zero byte") << QByteArray(1, '\0') << QByteArray("^@\r\n");
    QTest::newRow("escape sequence") << QByteArray("\x1b[2J") << QByteArray("^[[2J\r\n");
    QTest::newRow("ends in LF") << QByteArray("AB\n") << QByteArray("AB\n");
    QTest::newRow("ends in CR LF") << QByteArray("AB\r\n") << QByteArray("AB\r\n");
    QTest::newRow("ends in CR") << QByteArray("AB\r") << QByteArray("AB\r\r\n");
    QTest::newRow("127 and 200 unchanged") << QByteArray("\x7f\xc8") << QByteArray("\x7f\xc8\r\n");
    QTest::newRow("1, 26, 28..31") << QByteArray("\x01\x1a\x1c\x1d\x1e\x1f") << QByteArray("^A^Z^\\^]^^^_\r\n");
}

void tst_files::formatDataBytes()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, expected);
    QCOMPARE(FormatDataBytes(data), expected);
}

void tst_files::burstsRenderAsTheReference_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty burst") << QByteArray();
    const QByteArray plain("The RIX answers every request in turn.!"); // 39 bytes: past two blocks of 16
    for (int value = 0; value < 256; ++value) {
        const char byte = char(value);
        const QByteArray name = "0x" + QByteArray::number(value, 16).rightJustified(2, '0');
        QTest::addRow("%s alone", name.constData()) << QByteArray(1, byte);
        QTest::addRow("%s first", name.constData()) << byte + plain;
        QTest::addRow("%s last", name.constData()) << plain + byte;
        QTest::addRow("%s run of 40", name.constData()) << QByteArray(40, byte);
    }
    // One escaped byte at every place around the edges of 16-byte blocks, in bursts of every length there.
    for (int length = 1; length <= 34; ++length) {
        for (int at = 0; at < length; ++at) {
            QByteArray burst = plain.repeated(2).left(length);
            burst[at] = '\x1b';
            QTest::addRow("ESC at %d of %d", at, length) << burst;
        }
        QTest::addRow("%d escaped", length) << QByteArray(length, '\x07');
        QTest::addRow("%d plain", length) << plain.repeated(2).left(length);
    }
    const qsizetype mebibyte = 1024 * 1024;
    QByteArray everyByte(mebibyte, Qt::Uninitialized);
    for (qsizetype i = 0; i < mebibyte; ++i)
        everyByte[i] = char(i);
    QTest::newRow("every byte in turn, 1 MiB") << everyByte;
    QTest::newRow("text, 1 MiB") << QByteArray("LOT 17\tweight 2,304 kg\tbay 4\r\n").repeated(32 * 1024);
    QTest::newRow("control bytes, 1 MiB") << QByteArray("\x01\x02\x1b\x00\x1f\x7f", 6).repeated(mebibyte / 6);
    QTest::newRow("plain text, 1 MiB, ends in LF") << QByteArray(mebibyte - 1, 'x') + '\n';
    QByteArray random(mebibyte, Qt::Uninitialized);
    QRandomGenerator(21).fillRange(reinterpret_cast<quint32*>(random.data()), mebibyte / 4);
    QTest::newRow("random, 1 MiB") << random;
}

// Every burst renders as the plain byte-by-byte way renders it, and the entry in the data log
// carries exactly that.
void tst_files::burstsRenderAsTheReference()
{
    QFETCH(QByteArray, data);
    const QByteArray expected = ReferenceFormatDataBytes(data);
    QCOMPARE(FormatDataBytes(data), expected);
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors);
    log.WriteDataLog(data, QStringLiteral("10.0.0.5"));
    QCOMPARE(ReadAll(Path(DataLog::FileName())), " 10.0.0.5: " + expected);
}

void tst_files::gatheredWriteGoesOnWhereItStopped_data()
{
    QTest::addColumn<int>("stopsAt");
    QTest::newRow("nothing taken") << 0;
    QTest::newRow("inside the first part") << 3;
    QTest::newRow("where the first part ends") << 11;
    QTest::newRow("inside the part after an empty one") << 13;
    QTest::newRow("inside the last part") << 17;
}

// A write the file system takes only part of (a full disk, here the file-size limit) says how far it
// got, and the next write from there finishes the parts byte for byte.
void tst_files::gatheredWriteGoesOnWhereItStopped()
{
    QFETCH(int, stopsAt);
    const std::array<QByteArrayView, 4> parts{" 10.0.0.5: ", "", "^@abc", "\r\n"};
    const QByteArray whole(" 10.0.0.5: ^@abc\r\n");
    const QString path = Path(QStringLiteral("parts.log"));
    NativeFile::AppendFile file;
    file.Open(path);
    qsizetype done = 0;
    try {
        FileSizeLimit limit{rlim_t(stopsAt)};
        file.Write(parts, done);
        QFAIL("the write went past the file-size limit");
    } catch (const Failure& failure) {
        QCOMPARE(failure.Code, EFBIG);
    }
    QCOMPARE(done, qsizetype(stopsAt));
    QCOMPARE(ReadAll(path), whole.left(stopsAt));
    file.Write(parts, done);
    QCOMPARE(done, whole.size());
    QCOMPARE(file.Size(), whole.size());
    QCOMPARE(ReadAll(path), whole);
}

void tst_files::dataLogEntries()
{
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors);
    log.WriteDataLog("AB\r\n", QStringLiteral("10.0.0.5"));
    log.WriteDataLog(QByteArray(1, '\0'), QStringLiteral("127.0.0.1"));
    QCOMPARE(ReadAll(Path("DataLog.log")), QByteArray(" 10.0.0.5: AB\r\n 127.0.0.1: ^@\r\n"));
}

void tst_files::dataLogEntryWholeOrNotAtAll_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<int>("failsAfter"); // bytes of the entry " 10.0.0.5: second\r\n" that go in
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("torn entry cut back") << "" << 5 << QByteArray(" 10.0.0.5: first\r\n 10.0.0.5: third\r\n");
    QTest::newRow("torn in the burst's bytes, cut back")
        << "" << 14 << QByteArray(" 10.0.0.5: first\r\n 10.0.0.5: third\r\n");
    // What cannot be cut back stays, on a line of its own.
    QTest::newRow("append-only file, cut-back refused")
        << "append-only" << 5 << QByteArray(" 10.0.0.5: first\r\n 10.0\r\n 10.0.0.5: third\r\n");
    QTest::newRow("another writer appended: their line stays")
        << "another writer" << 5 << QByteArray(" 10.0.0.5: first\r\ntheirs\r\n 10.0\r\n 10.0.0.5: third\r\n");
    QTest::newRow("another writer, torn in the burst's bytes")
        << "another writer" << 14 << QByteArray(" 10.0.0.5: first\r\ntheirs\r\n 10.0.0.5: sec\r\n 10.0.0.5: third\r\n");
}

void tst_files::dataLogEntryWholeOrNotAtAll()
{
    QFETCH(QString, meanwhile);
    QFETCH(int, failsAfter);
    QFETCH(QByteArray, expected);
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors);
    const QString source = QStringLiteral("10.0.0.5");
    const QString path = Path(DataLog::FileName());
    log.WriteDataLog("first", source);
    if (meanwhile == "append-only") {
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+a"), path}) != 0)
            QSKIP("chattr +a needs root and a file system that keeps the attribute");
    } else if (meanwhile == "another writer") {
        QFile other(path);
        QVERIFY(other.open(QIODevice::Append) && other.write("theirs\r\n") == 8);
    }
    const auto undo = qScopeGuard([&] {
        if (meanwhile == "append-only")
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-a"), path});
    });
    {
        FileSizeLimit limit(rlim_t(QFileInfo(path).size() + failsAfter));
        log.WriteDataLog("second", source);
    }
    QCOMPARE(m_errors.Reports, QStringList{"Error writing to Data Log|File Error|" + QString::number(EFBIG)});
    log.WriteDataLog("third", source);
    QCOMPARE(ReadAll(path), expected);
}

void tst_files::dataLogOffTouchesNoFile()
{
    // Both listen to the relay's bursts, as the engine puts them together.
    DataLog log(m_state, m_clock, m_errors);
    LastMessageLabels labels(m_view);
    RelayEventHub told;
    told.Add(log);
    told.Add(labels);
    told.BurstRelayed(RelayEvents::From::Client, 1, "hello", QStringLiteral("10.0.0.5"));
    told.BurstRelayed(RelayEvents::From::Rix, 1, QByteArray("\x18\0\x07", 3), QStringLiteral("127.0.0.1"));
    QVERIFY(QDir(m_dir->path()).isEmpty());
    QCOMPARE(m_view.LastClientMessage, QStringLiteral("10.0.0.5: hello"));
    QCOMPARE(m_view.LastRixMessage, QStringLiteral("127.0.0.1: ^X^@^G"));
}

void tst_files::labelsShowABoundedPrefix()
{
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors);
    LastMessageLabels labels(m_view);
    const QByteArray burst(1024 * 1024, 'z');
    labels.BurstRelayed(RelayEvents::From::Client, 1, burst, QStringLiteral("10.0.0.5"));
    QVERIFY(m_view.LastClientMessage.size() < 400);
    QVERIFY(m_view.LastClientMessage.endsWith(QChar(0x2026)));
    log.WriteDataLog(burst, QStringLiteral("10.0.0.5"));
    QCOMPARE(QFileInfo(Path("DataLog.log")).size(), qint64(burst.size() + 13)); // " 10.0.0.5: ", every byte, CR LF
}

// Standard error is a pipe whose reader has stopped reading: lines are left out rather than waited
// for, and once there is room again the next line says how many.
void tst_files::journalNeverWaitsForItsReader()
{
    int pipeEnds[2];
    QCOMPARE(::pipe(pipeEnds), 0);
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    QVERIFY(savedStderr >= 0);
    QCOMPARE(::dup2(pipeEnds[1], STDERR_FILENO), STDERR_FILENO);
    const auto restore = qScopeGuard([&] {
        std::fflush(stderr);
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    });
    const QString line(100, u'x');
    for (int i = 0; i < 2000; ++i) // 200 KB: more than the pipe holds
        Journal::Write(Journal::Priority::Info, line);
    const qint64 dropped = Journal::Dropped();
    QVERIFY(dropped > 0);
    QByteArray drained(1 << 20, '\0');
    const ssize_t got = ::read(pipeEnds[0], drained.data(), size_t(drained.size()));
    QVERIFY(got > 0);
    QCOMPARE(qint64(got) / (line.size() + 2 + qsizetype(QCoreApplication::applicationName().size()) + 1),
             2000 - dropped); // every line that went out went out whole
    Journal::Write(Journal::Priority::Info, QStringLiteral("after"));
    QCOMPARE(Journal::Dropped(), 0);
    QByteArray after(4096, '\0');
    const ssize_t more = ::read(pipeEnds[0], after.data(), size_t(after.size()));
    QVERIFY(more > 0);
    after.truncate(more);
    QVERIFY2(after.contains(QByteArray::number(dropped) + " lines left out: standard error was not being read\n"),
             after.constData());
    QVERIFY(after.endsWith("after\n"));
}

QTEST_GUILESS_MAIN(tst_files)
#include "tst_files.moc"
