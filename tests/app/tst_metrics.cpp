#include "app/Engine.h"
#include "app/MetricsServer.h"
#include "core/RuntimeState.h"
#include "support/DispatcherSupport.h"
#include "support/LoopbackSupport.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray Exposition("# TYPE tolvane_up gauge\ntolvane_up 1\n");

QByteArray Request(const QByteArray& method, const QByteArray& path)
{
    return method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

QByteArray StatusLine(const QByteArray& response)
{
    return response.left(response.indexOf("\r\n"));
}

QByteArray Body(const QByteArray& response)
{
    const qsizetype end = response.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : response.mid(end + 4);
}

} // namespace

// The metrics endpoint against real loopback clients: what it answers, and the clients it drops.
class tst_metrics : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answers_data();
    void answers();
    void keptConnectionScrapesAgain();
    void rudeClientIsDroppedAtOnce_data();
    void rudeClientIsDroppedAtOnce();
    void unfinishedRequestIsDroppedAfterTheTimeout_data();
    void unfinishedRequestIsDroppedAfterTheTimeout();
    void manyScrapersAtOnce();
    void failingSourceIsAServerError();
    void portInUse();
    void relayGoesOnWhileAnHttpClientHangs();
    void relayRunsWithoutMetricsWhenThePortIsTaken();

private:
    // Sends the bytes on a new connection to the server and waits until the server closes it.
    QByteArray Exchange(const QByteArray& bytes);
    void StartEngine(quint16 metricsPort);
    void StopEngine();

    bool m_sourceFails = false;
    std::unique_ptr<MetricsServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Peer> m_rix;
    RuntimeState m_state;
    NullStatusView m_view;
    std::unique_ptr<Engine> m_engine;
};

void tst_metrics::init()
{
    m_sourceFails = false;
    // Long enough that only what the client sends can end its connection in these tests.
    m_server = std::make_unique<MetricsServer>(
        [this] {
            if (m_sourceFails)
                throw Failure{1, QStringLiteral("no counters")};
            return Exposition;
        },
        60);
    m_server->Start(QHostAddress(QHostAddress::LocalHost).toIPv4Address(), 0);
    QVERIFY(m_server->IsServing());
    QVERIFY(m_server->Port() != 0);
}

void tst_metrics::cleanup()
{
    StopEngine();
    m_server.reset();
}

QByteArray tst_metrics::Exchange(const QByteArray& bytes)
{
    Client client;
    [&] { QVERIFY(client.Connect(m_server->Port())); }();
    client.Socket.write(bytes);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(client.Closed, 10000); }();
    return client.Received;
}

void tst_metrics::StartEngine(quint16 metricsPort)
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_rix = std::make_unique<Peer>();
    m_rix->Echo = true;
    QVERIFY(m_rix->Listen());
    QVERIFY(WriteFile(m_dir->filePath(QStringLiteral("iplog.ini")), SettingsFileText(m_rix->Port(), FreePort())));
    m_state = RuntimeState();
    m_engine = std::make_unique<Engine>(m_state, m_view);
    Options options;
    options.MetricsAddress = QStringLiteral("127.0.0.1");
    options.MetricsPort = metricsPort;
    m_engine->ApplyOptions(options);
    m_engine->Start(m_dir->path());
    QVERIFY(m_engine->Net.wscktClient(0).IsListening());
}

void tst_metrics::StopEngine()
{
    if (!m_engine)
        return;
    bool stopped = false;
    m_engine->Stop([&stopped] { stopped = true; });
    QTRY_VERIFY(stopped);
    QVERIFY(!m_engine->Metrics.IsServing());
    m_engine.reset();
    m_rix.reset();
    m_dir.reset();
}

void tst_metrics::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("GET /metrics") << Request("GET", "/metrics") << QByteArray("HTTP/1.1 200 OK") << Exposition;
    QTest::newRow("HEAD /metrics") << Request("HEAD", "/metrics") << QByteArray("HTTP/1.1 200 OK") << QByteArray();
    QTest::newRow("POST /metrics") << Request("POST", "/metrics") << QByteArray("HTTP/1.1 404 Not Found")
                                   << QByteArray("404 page not found\n");
    QTest::newRow("DELETE /metrics") << Request("DELETE", "/metrics") << QByteArray("HTTP/1.1 404 Not Found")
                                     << QByteArray("404 page not found\n");
    QTest::newRow("GET /") << Request("GET", "/") << QByteArray("HTTP/1.1 404 Not Found")
                           << QByteArray("404 page not found\n");
    QTest::newRow("GET /metrics/") << Request("GET", "/metrics/") << QByteArray("HTTP/1.1 404 Not Found")
                                   << QByteArray("404 page not found\n");
    QTest::newRow("POST elsewhere") << Request("POST", "/admin") << QByteArray("HTTP/1.1 404 Not Found")
                                    << QByteArray("404 page not found\n");
}

void tst_metrics::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, body);
    const QByteArray response = Exchange(request);
    QCOMPARE(StatusLine(response), status);
    QCOMPARE(Body(response), body);
    const bool metrics = status.endsWith("200 OK");
    QCOMPARE(response.contains("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), metrics);
}

void tst_metrics::keptConnectionScrapesAgain()
{
    // A scraper keeps its connection from one scrape to the next.
    Client client;
    QVERIFY(client.Connect(m_server->Port()));
    const QByteArray request("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    for (int scrape = 1; scrape <= 3; ++scrape) {
        client.Socket.write(request);
        QTRY_COMPARE(client.Received.count(Exposition), scrape);
    }
    QVERIFY(!client.Closed);
}

void tst_metrics::rudeClientIsDroppedAtOnce_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray binary(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i * 7 + 3);
    QTest::newRow("64 KiB of binary") << binary;
    QTest::newRow("64 KiB of one line") << QByteArray(64 * 1024, 'A');
    QTest::newRow("a header of 64 KiB") << QByteArray("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: ")
            + QByteArray(64 * 1024, 'x');
    QTest::newRow("a GET with a body")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000\r\n\r\n")
            + QByteArray(4096, 'b');
}

void tst_metrics::rudeClientIsDroppedAtOnce()
{
    QFETCH(QByteArray, bytes);
    // The server's idle time-out is a minute: only the bytes themselves may end the connection in time.
    QElapsedTimer elapsed;
    elapsed.start();
    const QByteArray response = Exchange(bytes);
    QVERIFY2(elapsed.elapsed() < 10000, QByteArray::number(elapsed.elapsed()).constData());
    QVERIFY2(!response.contains("200 OK"), response.constData());
    // Others are served as before.
    QCOMPARE(Body(Exchange(Request("GET", "/metrics"))), Exposition);
}

void tst_metrics::unfinishedRequestIsDroppedAfterTheTimeout_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("nothing") << QByteArray();
    QTest::newRow("half a request line") << QByteArray("GET /metr");
    QTest::newRow("no end of header") << QByteArray("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n");
}

void tst_metrics::unfinishedRequestIsDroppedAfterTheTimeout()
{
    QFETCH(QByteArray, bytes);
    m_server = std::make_unique<MetricsServer>([] { return Exposition; }, 1);
    m_server->Start(QHostAddress(QHostAddress::LocalHost).toIPv4Address(), 0);
    Client hanging;
    QVERIFY(hanging.Connect(m_server->Port()));
    hanging.Socket.write(bytes);
    QElapsedTimer elapsed;
    elapsed.start();
    // While it hangs, a scraper is served.
    QCOMPARE(Body(Exchange(Request("GET", "/metrics"))), Exposition);
    QVERIFY(!hanging.Closed);
    QTRY_VERIFY_WITH_TIMEOUT(hanging.Closed, 10000);
    QVERIFY2(elapsed.elapsed() >= 900, QByteArray::number(elapsed.elapsed()).constData());
    QCOMPARE(hanging.Received, QByteArray());
}

void tst_metrics::manyScrapersAtOnce()
{
    // More than the server takes at once, all connecting in the same moment: the ones beyond the
    // limit wait in the kernel and are served as the others leave.
    const int count = int(MetricsServer::MaxConnections) + 8;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<Client>());
        clients.back()->Socket.connectToHost(QHostAddress::LocalHost, m_server->Port());
        clients.back()->Socket.write(Request("GET", "/metrics"));
    }
    for (const auto& client : clients) {
        QTRY_VERIFY_WITH_TIMEOUT(client->Closed, 10000);
        QCOMPARE(Body(client->Received), Exposition);
    }
}

void tst_metrics::failingSourceIsAServerError()
{
    m_sourceFails = true;
    QCOMPARE(StatusLine(Exchange(Request("GET", "/metrics"))), QByteArray("HTTP/1.1 500 Internal Server Error"));
    m_sourceFails = false;
    QCOMPARE(Body(Exchange(Request("GET", "/metrics"))), Exposition);
}

void tst_metrics::portInUse()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    MetricsServer second([] { return Exposition; });
    try {
        second.Start(QHostAddress(QHostAddress::LocalHost).toIPv4Address(), taken.serverPort());
        QFAIL("started on a port in use");
    } catch (const Failure& failure) {
        QVERIFY(failure.Code != 0);
        QVERIFY(!failure.Description.isEmpty());
    }
    QVERIFY(!second.IsServing());
    QCOMPARE(second.Port(), quint16(0));
    // It may be tried again, elsewhere.
    second.Start(QHostAddress(QHostAddress::LocalHost).toIPv4Address(), 0);
    QVERIFY(second.IsServing());
}

void tst_metrics::relayGoesOnWhileAnHttpClientHangs()
{
    m_server.reset();
    const quint16 metricsPort = FreePort();
    StartEngine(metricsPort);
    QCOMPARE(m_engine->Metrics.Port(), metricsPort);

    Client hanging;
    QVERIFY(hanging.Connect(metricsPort));
    hanging.Socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n");

    Client client;
    QVERIFY(client.ConnectGreeted(quint16(m_engine->Net.wscktClient(0).LocalPort())));
    const QByteArray data = Pattern(100000, 20);
    client.Socket.write(data);
    QTRY_COMPARE(client.Received, Login + data);

    Client scraper;
    QVERIFY(scraper.Connect(metricsPort));
    scraper.Socket.write(Request("GET", "/metrics"));
    QTRY_VERIFY(scraper.Closed);
    QCOMPARE(StatusLine(scraper.Received), QByteArray("HTTP/1.1 200 OK"));
    QVERIFY(!hanging.Closed);

    // The shutdown closes the endpoint with its connections.
    StopEngine();
    QTRY_VERIFY(hanging.Closed);
    QVERIFY(!IsListening(metricsPort));
}

void tst_metrics::relayRunsWithoutMetricsWhenThePortIsTaken()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    StartEngine(taken.serverPort());
    QVERIFY(!m_engine->Metrics.IsServing());
    const QByteArray errors = ReadAll(m_dir->filePath(QStringLiteral("Errorlog.txt")));
    QVERIFY2(errors.contains("Error opening Metrics Endpoint 127.0.0.1:" + QByteArray::number(taken.serverPort())),
             errors.constData());

    Client client;
    QVERIFY(client.ConnectGreeted(quint16(m_engine->Net.wscktClient(0).LocalPort())));
    client.Socket.write("ping");
    QTRY_COMPARE(client.Received, Login + "ping");
}

TOLVANE_TEST_MAIN(tst_metrics)
#include "tst_metrics.moc"
