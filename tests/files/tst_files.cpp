#include "core/RuntimeState.h"
#include "files/FileAccess.h"
#include "files/LogText.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

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
    void init();
    void cleanup();

    void readSettings_data();
    void readSettings();
    void missingSettingsFileGivesDefaultsAndCreatesNothing();
    void writtenSettingsAreExact();
    void failedSettingsWriteIsReported();
    void hostileSettingsFiles_data();
    void hostileSettingsFiles();

    void errorLogLayout_data();
    void errorLogLayout();
    void errorLogStartsWithItsHeader();
    void unwritableErrorLogIsDropped();

    void eventLogLayout_data();
    void eventLogLayout();
    void eventLogRollsOverAtTheLimit_data();
    void eventLogRollsOverAtTheLimit();
    void rollOverNeverReplacesAnEarlierCopy();
    void eventLogGivesUpAfterSixAttempts();
    void eventLogSucceedsOnTheSixthAttempt();

    void formatDataBytes_data();
    void formatDataBytes();
    void dataLogEntries();
    void dataLogOffTouchesNoFile();
    void dataLogRollsOver();
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
    QTest::newRow("empty file assigns nothing") << QByteArray() << "rix 0  client 0  packet 0 mode 0 log 0" << 0;
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
    WriteAll(Path("iplog.ini"), text);
    QCOMPARE(ReadSettingsFile(m_state, m_errors), reports == 0);
    QCOMPARE(Describe(m_state), expected);
    QCOMPARE(m_errors.Reports.size(), reports);
    for (const QString& report : m_errors.Reports)
        QVERIFY(report.startsWith(QLatin1String("Error Reading iplog.ini file|File Error|6")));
    // The user's file is never deleted or changed by reading it.
    QCOMPARE(ReadAll(Path("iplog.ini")), text);
}

void tst_files::missingSettingsFileGivesDefaultsAndCreatesNothing()
{
    QVERIFY(ReadSettingsFile(m_state, m_errors));
    QCOMPARE(Describe(m_state), QStringLiteral("rix 1200 127.0.0.1 client 1100 127.0.0.1 packet 16383 mode 0 log 0"));
    QVERIFY(!QFile::exists(Path("iplog.ini")));
    QVERIFY(WriteSettingsFile(m_state, m_errors));
    QVERIFY(ReadAll(Path("iplog.ini")).contains("\r\nServer Mode=Yes\r\n"));
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

void tst_files::failedSettingsWriteIsReported()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("iplog.ini")));
    QVERIFY(!WriteSettingsFile(m_state, m_errors));
    QCOMPARE(m_errors.Reports.size(), 1);
    QVERIFY(m_errors.Reports[0].startsWith(QLatin1String("Error Writing iplog.ini file|File Error|")));
}

void tst_files::hostileSettingsFiles_data()
{
    QTest::addColumn<QByteArray>("text");
    QByteArray random(1024 * 1024, '\0');
    QRandomGenerator generator(42);
    for (char& c : random)
        c = char(generator.bounded(256));
    QTest::newRow("1 MiB of random bytes") << random;
    QTest::newRow("100,000-character line") << QByteArray("RIX IP Address=") + QByteArray(100000, '7');
    QTest::newRow("100,000-digit port") << QByteArray("RIX IP Port=") + QByteArray(100000, '9');
    QByteArray manyLines;
    for (int i = 0; i < 100000; ++i)
        manyLines += "Client IP Port=" + QByteArray::number(i % 65536) + "\r\n";
    QTest::newRow("100,000 lines") << manyLines;
}

void tst_files::hostileSettingsFiles()
{
    QFETCH(QByteArray, text);
    WriteAll(Path("iplog.ini"), text);
    ReadSettingsFile(m_state, m_errors);
    QVERIFY(m_state.PacketSize == 0 || (m_state.PacketSize > 1024 && m_state.PacketSize <= 16383));
    QVERIFY(m_state.OperationMode == 0 || m_state.OperationMode == 1);
    QVERIFY(m_state.RixIPPort >= 0);
    QVERIFY(m_errors.Reports.size() <= 100000);
    QVERIFY(QFile::exists(Path("iplog.ini")));
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

void tst_files::unwritableErrorLogIsDropped()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Errorlog.txt")));
    ErrorLog log(m_state, m_clock);
    log.LogError(QStringLiteral("Error Updating Lables"), QStringLiteral("Form Error"));
    QVERIFY(QFileInfo(Path("Errorlog.txt")).isDir());

    // A folder that refuses new files: the report about the missing log is dropped too, no recursion.
    m_state.AppPath = Path("missing/");
    log.LogError(QStringLiteral("Error Updating Lables"), QStringLiteral("Form Error"));
    QVERIFY(!QFile::exists(Path("missing/Errorlog.txt")));
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

void tst_files::eventLogRollsOverAtTheLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("rolls");
    QTest::newRow("2,047,999 bytes") << qint64(2047999) << false;
    QTest::newRow("2,048,000 bytes") << qint64(2048000) << true;
}

void tst_files::eventLogRollsOverAtTheLimit()
{
    QFETCH(qint64, size);
    QFETCH(bool, rolls);
    const QByteArray old(size, 'x');
    WriteAll(Path("Eventlog.txt"), old);
    EventLog log(m_state, m_clock, m_errors);
    log.LogEvent(QStringLiteral("RIX Disconnected"), QStringLiteral("10.0.0.5"));
    QCOMPARE(QFile::exists(Path("EventLog 120526 2141.txt")), rolls);
    const QByteArray now = ReadAll(Path("Eventlog.txt"));
    if (rolls) {
        QCOMPARE(ReadAll(Path("EventLog 120526 2141.txt")), old);
        QCOMPARE(Lines(now).size(), 13);
    } else {
        QVERIFY(now.startsWith(old));
        QVERIFY(now.endsWith("RIX Disconnected\r\n"));
    }
}

void tst_files::rollOverNeverReplacesAnEarlierCopy()
{
    EventLog log(m_state, m_clock, m_errors);
    for (char fill : {'a', 'b', 'c'}) {
        WriteAll(Path("Eventlog.txt"), QByteArray(LogText::RollOverSize, fill));
        log.LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5"));
    }
    QCOMPARE(ReadAll(Path("EventLog 120526 2141.txt")).at(0), 'a');
    QCOMPARE(ReadAll(Path("EventLog 120526 2141 (2).txt")).at(0), 'b');
    QCOMPARE(ReadAll(Path("EventLog 120526 2141 (3).txt")).at(0), 'c');
}

void tst_files::eventLogGivesUpAfterSixAttempts()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("Eventlog.txt")));
    EventLog log(m_state, m_clock, m_errors);
    log.LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5"));
    QCOMPARE(m_errors.Reports.size(), 7);
    for (int i = 0; i < 6; ++i)
        QVERIFY(m_errors.Reports[i].startsWith(QLatin1String("Retry|Message Log Error|")));
    QCOMPARE(m_errors.Reports[6], QStringLiteral("Error Logging IP Message|Message Log Error|0"));
}

void tst_files::eventLogSucceedsOnTheSixthAttempt()
{
    // The file is locked for five attempts (they go to a folder standing in its way) and free for the sixth.
    class LockedFiveTimes final : public EventLog {
    public:
        using EventLog::EventLog;
        QString Blocked;
        int Attempts = 0;
        bool AppendLogLine(const QString& line, const QString& path) override
        {
            return EventLog::AppendLogLine(line, ++Attempts <= 5 ? Blocked : path);
        }
    };
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("locked")));
    LockedFiveTimes log(m_state, m_clock, m_errors);
    log.Blocked = Path("locked");
    log.LogEvent(QStringLiteral("RIX Connected"), QStringLiteral("10.0.0.5"));
    QCOMPARE(m_errors.Reports.size(), 5);
    QVERIFY(ReadAll(Path("Eventlog.txt")).endsWith("RIX Connected\r\n"));
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

void tst_files::dataLogEntries()
{
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors, m_view);
    log.WriteDataLog("AB\r\n", QStringLiteral("10.0.0.5"));
    log.WriteDataLog(QByteArray(1, '\0'), QStringLiteral("127.0.0.1"));
    QCOMPARE(ReadAll(Path("DataLog.log")), QByteArray(" 10.0.0.5: AB\r\n 127.0.0.1: ^@\r\n"));
    log.ShowLastClientMessage("AB\r\n", QStringLiteral("10.0.0.5"));
    QCOMPARE(m_view.LastClientMessage, QStringLiteral("10.0.0.5: AB^M^J"));
}

void tst_files::dataLogOffTouchesNoFile()
{
    DataLog log(m_state, m_clock, m_errors, m_view);
    log.WriteDataLog("hello", QStringLiteral("10.0.0.5"));
    log.ShowLastRixMessage(QByteArray("\x18\0\x07", 3), QStringLiteral("127.0.0.1"));
    QVERIFY(QDir(m_dir->path()).isEmpty());
    QCOMPARE(m_view.LastRixMessage, QStringLiteral("127.0.0.1: ^X^@^G"));
}

void tst_files::dataLogRollsOver()
{
    m_state.LogData = true;
    WriteAll(Path("DataLog.log"), QByteArray(LogText::RollOverSize, 'x'));
    DataLog log(m_state, m_clock, m_errors, m_view);
    log.WriteDataLog("next", QStringLiteral("10.0.0.5"));
    QCOMPARE(QFileInfo(Path("DataLog 120526 2141.log")).size(), LogText::RollOverSize);
    QCOMPARE(ReadAll(Path("DataLog.log")), QByteArray(" 10.0.0.5: next\r\n"));
}

void tst_files::labelsShowABoundedPrefix()
{
    m_state.LogData = true;
    DataLog log(m_state, m_clock, m_errors, m_view);
    const QByteArray burst(1024 * 1024, 'z');
    log.ShowLastClientMessage(burst, QStringLiteral("10.0.0.5"));
    QVERIFY(m_view.LastClientMessage.size() < 400);
    QVERIFY(m_view.LastClientMessage.endsWith(QChar(0x2026)));
    log.WriteDataLog(burst, QStringLiteral("10.0.0.5"));
    QCOMPARE(QFileInfo(Path("DataLog.log")).size(), qint64(burst.size() + 13)); // " 10.0.0.5: ", every byte, CR LF
}

QTEST_GUILESS_MAIN(tst_files)
#include "tst_files.moc"
