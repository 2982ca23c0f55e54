#include "core/CheckIPAddress.h"
#include "core/Failure.h"
#include "core/IndexSet.h"
#include "core/NumberFromText.h"
#include "core/ReportThrottle.h"
#include "core/RuntimeState.h"
#include "support/TestSupport.h"

#include <QTest>

#include <random>
#include <set>

class tst_core : public QObject {
    Q_OBJECT
private slots:
    void numberFromText_data();
    void numberFromText();
    void numberFromTextOutOfRange_data();
    void numberFromTextOutOfRange();
    void countersStopAtTheirLimits();
    void connectionCountText_data();
    void connectionCountText();
    void programFolderEndsInOneSeparator();
    void tablesGrowKeepingRows();
    void indexSetFindsTheLowest_data();
    void indexSetFindsTheLowest();
    void checkIPAddress_data();
    void checkIPAddress();
    void reportThrottle_data();
    void reportThrottle();
};

void tst_core::numberFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("trailing letters") << "12abc" << 12;
    QTest::newRow("half rounds to even (down)") << "1100.5" << 1100;
    QTest::newRow("half rounds to even (up)") << "1101.5" << 1102;
    QTest::newRow("above half") << "2.51" << 3;
    QTest::newRow("below half") << "2.49999" << 2;
    QTest::newRow("blank inside") << "2 000" << 2000;
    QTest::newRow("tab and line feed inside") << "\t1\n2" << 12;
    QTest::newRow("exponent") << "2E3" << 2000;
    QTest::newRow("lower-case exponent") << "2e3" << 2000;
    QTest::newRow("negative exponent") << "25E-1" << 2;
    QTest::newRow("exponent without digits") << "7E" << 7;
    QTest::newRow("negative") << "-5" << -5;
    QTest::newRow("plus sign") << "+5" << 5;
    QTest::newRow("not a number") << "=5" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("two points") << "1.2.3" << 1;
    QTest::newRow("point first") << ".5" << 0;
    QTest::newRow("tiny") << "0.0000001" << 0;
    QTest::newRow("negative half") << "-0.5" << 0;
    QTest::newRow("leading zeros") << "000123" << 123;
    QTest::newRow("carriage return stops") << "1\r2" << 1;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << int(-2147483647 - 1);
    QTest::newRow("huge negative exponent") << "5E-99999999999" << 0;
}

void tst_core::numberFromText()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(NumberFromText(text), expected);
}

void tst_core::numberFromTextOutOfRange_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("eleven digits") << "99999999999";
    QTest::newRow("one past the largest") << "2147483648";
    QTest::newRow("rounds past the largest") << "2147483647.5";
    QTest::newRow("one below the smallest") << "-2147483649";
    QTest::newRow("exponent") << "1E10";
    QTest::newRow("very long") << QString(5000, u'9');
}

void tst_core::numberFromTextOutOfRange()
{
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(Failure, NumberFromText(text));
}

void tst_core::countersStopAtTheirLimits()
{
    qint16 counter = 32766;
    IncrementCounter(counter);
    QCOMPARE(counter, qint16(32767));
    QVERIFY_THROWS_EXCEPTION(Failure, IncrementCounter(counter));
    QCOMPARE(counter, qint16(32767));
    counter = -32768;
    QVERIFY_THROWS_EXCEPTION(Failure, DecrementCounter(counter));
    QCOMPARE(counter, qint16(-32768));
}

void tst_core::connectionCountText_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero") << 0 << "Client Connections: 0000";
    QTest::newRow("five") << 5 << "Client Connections: 0005";
    QTest::newRow("five digits") << 12345 << "Client Connections: 12345";
    QTest::newRow("negative") << -1 << "Client Connections: -0001";
}

void tst_core::connectionCountText()
{
    QFETCH(int, count);
    QFETCH(QString, expected);
    QCOMPARE(ConnectionCountText(count), expected);
}

void tst_core::programFolderEndsInOneSeparator()
{
    QCOMPARE(ProgramFolder(QStringLiteral("/opt/tolvane")), QStringLiteral("/opt/tolvane/"));
    QCOMPARE(ProgramFolder(QStringLiteral("/")), QStringLiteral("/"));
    QCOMPARE(ProgramFolder(QStringLiteral("C:\\")), QStringLiteral("C:\\"));
}

void tst_core::tablesGrowKeepingRows()
{
    RuntimeState state;
    state.ConnectionCount = 1;
    state.GrowTables();
    state.Slot(1).ClientAddress = QStringLiteral("10.0.0.5");
    state.ConnectionCount = 2;
    state.GrowTables();
    QCOMPARE(state.Slot(1).ClientAddress, QStringLiteral("10.0.0.5"));
    QVERIFY(!state.Slot(2).Connected);
    QVERIFY_THROWS_EXCEPTION(Failure, state.Slot(0));
    QVERIFY_THROWS_EXCEPTION(Failure, state.Slot(3));
}

void tst_core::checkIPAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("checked"); // empty: refused
    QTest::newRow("plain") << "10.1.2.3"
                           << "10.1.2.3";
    QTest::newRow("clamped high") << "300.1.1.1"
                                  << "255.1.1.1";
    QTest::newRow("clamped low") << "-4.1.1.1"
                                 << "0.1.1.1";
    QTest::newRow("letters") << "a.b.c.d"
                             << "0.0.0.0";
    QTest::newRow("empty fields") << "..."
                                  << "";
    QTest::newRow("empty fourth field after dots") << "1.2.3.x"
                                                   << "1.2.3.0";
    QTest::newRow("fourth field with a dot") << "1.2.3.4.6"
                                             << "1.2.3.5";
    QTest::newRow("leading zeros") << "127.000.0.1"
                                   << "127.0.0.1";
    QTest::newRow("three fields") << "1.2.3"
                                  << "";
    QTest::newRow("ends in its third dot") << "1.2.3."
                                           << "";
    QTest::newRow("no dot") << "localhost"
                            << "";
}

void tst_core::checkIPAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, checked);
    QString result = QStringLiteral("unchanged");
    QCOMPARE(CheckIPAddress(text, result), !checked.isEmpty());
    QCOMPARE(result, checked.isEmpty() ? QStringLiteral("unchanged") : checked);
    QVERIFY_THROWS_EXCEPTION(Failure, CheckIPAddress(QStringLiteral("1.2.3.99999999999"), result));
}

namespace {

class LinesWritten final : public ErrorReporter {
public:
    void LogError(const QString& message, const QString&, const Failure& failure) override
    {
        Lines.append(message + u'|' + QString::number(failure.Code) + u'|' + failure.Description);
    }
    QStringList Lines;
};

} // namespace

void tst_core::reportThrottle_data()
{
    // Each step: "r<ms> <kind> <bytes>" reports at that time, "f<ms>" flushes at that time.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("written");
    QTest::newRow("the first of a kind is written") << QStringList{"r0 a 5"} << QStringList{"a|1|lost"};
    QTest::newRow("more within the minute are counted, written once it is over")
        << QStringList{"r0 a 5", "r10 a 7", "r20 a 9", "f59999", "f60000", "f70000"}
        << QStringList{"a|1|lost", "a|1|lost (2 like this since the last line, 16 bytes in all)"};
    QTest::newRow("kinds are apart") << QStringList{"r0 a 5", "r1 b 0", "r2 b 0", "f60002"}
                                     << QStringList{"a|1|lost", "b|1|lost",
                                                    "b|1|lost (1 like this since the last line)"};
    QTest::newRow("after a quiet minute the next is written at once")
        << QStringList{"r0 a 5", "r60000 a 6"} << QStringList{"a|1|lost", "a|1|lost"};
    QTest::newRow("a late one waits for the count, not in front of it")
        << QStringList{"r0 a 5", "r10 a 6", "r60000 a 7", "f60000"}
        << QStringList{"a|1|lost", "a|1|lost (2 like this since the last line, 13 bytes in all)"};
}

void tst_core::reportThrottle()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, written);
    LinesWritten errors;
    TestClock clock;
    ReportThrottle throttle(errors, clock);
    for (const QString& step : steps) {
        const QStringList parts = step.mid(1).split(u' ');
        clock.Monotonic = parts[0].toLongLong();
        if (step.startsWith(u'f'))
            throttle.Flush();
        else
            throttle.Report(parts[1], ReportText{parts[1], QStringLiteral("here")}, Failure{1, QStringLiteral("lost")},
                            parts[2].toLongLong());
    }
    QCOMPARE(errors.Lines, written);
}

void tst_core::indexSetFindsTheLowest_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("operations");
    // Within one word, across the first summary level (64 x 64), and three levels deep.
    QTest::newRow("one word") << 64 << 2000;
    QTest::newRow("two levels") << 4200 << 20000;
    QTest::newRow("three levels") << 300000 << 20000;
}

// Random inserts and erases, biased towards the low end where the lowest member moves, checked
// after every step against a plain ordered set.
void tst_core::indexSetFindsTheLowest()
{
    QFETCH(int, size);
    QFETCH(int, operations);
    std::mt19937 random(size);
    IndexSet set;
    std::set<int> reference;
    QCOMPARE(set.Lowest(), -1);
    for (int step = 0; step < operations; ++step) {
        const int range = (step % 3 == 0) ? size : std::min(size, 130);
        const int index = std::uniform_int_distribution<int>(0, range - 1)(random);
        if (random() % 2) {
            set.Insert(index);
            reference.insert(index);
        } else {
            set.Erase(index);
            reference.erase(index);
        }
        QCOMPARE(set.Lowest(), reference.empty() ? -1 : *reference.begin());
        QCOMPARE(set.Contains(index), reference.count(index) == 1);
    }
    // Emptied from the lowest up, every summary bit is cleared on the way.
    while (!reference.empty()) {
        QCOMPARE(set.Lowest(), *reference.begin());
        set.Erase(*reference.begin());
        reference.erase(reference.begin());
    }
    QCOMPARE(set.Lowest(), -1);
    // A set that grows a level while holding members keeps finding them.
    set.Insert(size - 1);
    set.Insert(5 * size);
    QCOMPARE(set.Lowest(), size - 1);
    set.Erase(size - 1);
    QCOMPARE(set.Lowest(), 5 * size);
}

QTEST_GUILESS_MAIN(tst_core)
#include "tst_core.moc"
