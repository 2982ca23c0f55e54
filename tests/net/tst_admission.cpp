#include "net/ClientAdmission.h"

#include "core/CheckIPAddress.h"

#include <QTest>

class tst_admission : public QObject {
    Q_OBJECT
private slots:
    void allowedNetworks_data();
    void allowedNetworks();
    void refusalLinesOncePerMinuteWithinABound();
};

void tst_admission::allowedNetworks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("inside");
    QTest::addColumn<QString>("outside");
    QTest::newRow("one address") << "127.0.0.2" << true << "127.0.0.2" << "127.0.0.3";
    QTest::newRow("/32") << "127.0.0.2/32" << true << "127.0.0.2" << "127.0.0.1";
    QTest::newRow("/8, host bits cleared") << "127.9.9.9/8" << true << "127.200.0.1" << "128.0.0.1";
    QTest::newRow("/0 is everyone") << "10.0.0.0/0" << true << "255.255.255.255" << "";
    QTest::newRow("/31") << "127.0.0.4/31" << true << "127.0.0.5" << "127.0.0.6";
    QTest::newRow("prefix 33") << "127.0.0.1/33" << false << "" << "";
    QTest::newRow("empty prefix") << "127.0.0.1/" << false << "" << "";
    QTest::newRow("signed prefix") << "127.0.0.1/+8" << false << "" << "";
    QTest::newRow("three parts") << "127.0.1/8" << false << "" << "";
    QTest::newRow("a name") << "localhost" << false << "" << "";
}

void tst_admission::allowedNetworks()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, inside);
    QFETCH(QString, outside);
    AllowedNetwork network;
    QCOMPARE(ParseAllowedNetwork(text, network), valid);
    ClientAdmission admission;
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
    ClientAdmission admission;
    QVERIFY(admission.TakeRefusalLine(1, 0));
    QVERIFY(!admission.TakeRefusalLine(1, 59));
    QVERIFY(admission.TakeRefusalLine(1, 60));
    // A flood of addresses fills what it remembers; new ones then go unwritten until old ones expire.
    for (quint32 a = 2; a <= ClientAdmission::RememberedRefusals; ++a)
        QVERIFY(admission.TakeRefusalLine(a, 30));
    QVERIFY(!admission.TakeRefusalLine(100000, 61));
    QVERIFY(admission.TakeRefusalLine(100000, 90));
}

QTEST_GUILESS_MAIN(tst_admission)
#include "tst_admission.moc"
