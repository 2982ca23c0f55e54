#include "net/ClientAdmission.h"

#include "core/CheckIPAddress.h"
#include "support/DispatcherSupport.h"
#include "support/TestSupport.h"

#include <QTest>

class tst_admission : public QObject {
    Q_OBJECT
private slots:
    void allowedNetworks_data();
    void allowedNetworks();
    void refusalLinesOncePerMinuteWithinABound();
    void capLineOncePerEpisode_data();
    void capLineOncePerEpisode();
};

void tst_admission::allowedNetworks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("inside");
    QTest::addColumn<QString>("outside");
    QTest::newRow("one address") << "127.0.0.2" << true << "127.0.0.2"
                                 << "127.0.0.3";
    QTest::newRow("/32") << "127.0.0.2/32" << true << "127.0.0.2"
                         << "127.0.0.1";
    QTest::newRow("/8, host bits cleared") << "127.9.9.9/8" << true << "127.200.0.1"
                                           << "128.0.0.1";
    QTest::newRow("/0 is everyone") << "10.0.0.0/0" << true << "255.255.255.255"
                                    << "";
    QTest::newRow("/31") << "127.0.0.4/31" << true << "127.0.0.5"
                         << "127.0.0.6";
    QTest::newRow("prefix 33") << "127.0.0.1/33" << false << ""
                               << "";
    QTest::newRow("empty prefix") << "127.0.0.1/" << false << ""
                                  << "";
    QTest::newRow("signed prefix") << "127.0.0.1/+8" << false << ""
                                   << "";
    QTest::newRow("three parts") << "127.0.1/8" << false << ""
                                 << "";
    QTest::newRow("a name") << "localhost" << false << ""
                            << "";
}

void tst_admission::allowedNetworks()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, inside);
    QFETCH(QString, outside);
    AllowedNetwork network;
    QCOMPARE(ParseAllowedNetwork(text, network), valid);
    const TestClock clock;
    ClientAdmission admission(clock);
    admission.Allowed = {network};
    const auto address = [](const QString& dotted) {
        quint32 value = 0;
        ParseDottedIPv4(dotted, value);
        return value;
    };
    if (!inside.isEmpty())
        QVERIFY(admission.IsAllowed(address(inside)));
    if (!outside.isEmpty())
        QVERIFY(!admission.IsAllowed(address(outside)));
}

void tst_admission::refusalLinesOncePerMinuteWithinABound()
{
    TestClock clock;
    ClientAdmission admission(clock);
    QVERIFY(admission.TakeRefusalLine(1));
    // The minute is one of steady time: the system time set forward does not end it.
    clock.Moment = clock.Moment.addSecs(2 * 3600);
    clock.Monotonic = ClientAdmission::RefusalLineMs - 1;
    QVERIFY(!admission.TakeRefusalLine(1));
    clock.Monotonic = ClientAdmission::RefusalLineMs;
    QVERIFY(admission.TakeRefusalLine(1));
    // A flood of addresses fills what it remembers; new ones then go unwritten until old ones expire.
    clock.Monotonic = 90'000;
    for (quint32 a = 2; a <= ClientAdmission::RememberedRefusals; ++a)
        QVERIFY(admission.TakeRefusalLine(a));
    clock.Monotonic = 2 * ClientAdmission::RefusalLineMs - 1;
    QVERIFY(!admission.TakeRefusalLine(100000));
    clock.Monotonic = 2 * ClientAdmission::RefusalLineMs; // the line for address 1 has expired
    QVERIFY(admission.TakeRefusalLine(100000));
    QVERIFY(!admission.TakeRefusalLine(100001));
    QVERIFY(!admission.TakeRefusalLine(2));
}

using CountSteps = QList<QPair<int, qint64>>; // the connected count, and the second it changed

void tst_admission::capLineOncePerEpisode_data()
{
    // Cap 2. At the cap, a client is refused at once.
    QTest::addColumn<CountSteps>("steps");
    QTest::addColumn<int>("lines");
    QTest::newRow("at the cap, refused again and again") << CountSteps{{2, 0}, {2, 1}, {2, 30}, {2, 600}} << 1;
    QTest::newRow("below for 59 s") << CountSteps{{2, 0}, {1, 10}, {2, 69}} << 1;
    QTest::newRow("below for 60 s") << CountSteps{{2, 0}, {1, 10}, {2, 70}} << 2;
    QTest::newRow("lower still, from when it first fell") << CountSteps{{2, 0}, {1, 10}, {0, 40}, {2, 70}} << 2;
    QTest::newRow("back at the cap starts the 60 s anew")
        << CountSteps{{2, 0}, {1, 10}, {2, 50}, {1, 51}, {2, 110}, {1, 111}, {2, 171}} << 2;
}

void tst_admission::capLineOncePerEpisode()
{
    QFETCH(CountSteps, steps);
    QFETCH(int, lines);
    const TestClock clock;
    ClientAdmission admission(clock);
    admission.MaxClients = 2;
    int written = 0;
    for (const auto& [connected, second] : steps) {
        admission.FollowCount(connected, second);
        if (connected >= admission.MaxClients)
            written += admission.TakeCapLine(second);
    }
    QCOMPARE(written, lines);
}

TOLVANE_TEST_MAIN(tst_admission)
#include "tst_admission.moc"
