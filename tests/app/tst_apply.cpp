#include "app/Engine.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"
#include "files/FileAccess.h"
#include "support/DialogSupport.h"
#include "support/LoopbackSupport.h"
#include "support/TestSupport.h"
#include "ui/frmSetup.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// What a row changes, by the setup dialog or by an edit of iplog.ini.
enum Edit {
    NewClientPort = 1,
    ToConnectMode = 2,
    NewRixPort = 4,
    NewRixAddress = 8,
    DataLogging = 16,
    ClientPortThatIsNot = 32,
};

} // namespace

// New settings reach the running relay through one apply path: the setup dialog and a re-read of
// iplog.ini (SIGHUP) make the same change do the same, against a real RIX and real clients.
class tst_apply : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sameChangeSameResult_data();
    void sameChangeSameResult();
    void reloadWhileStoppingChangesNothing();

private:
    // What the journal says was applied since the last call: the items of every line that reports
    // settings applied, in order, and how many such lines there were.
    QStringList AppliedInJournal(int& lines);

    JournalCapture m_journal;
    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    std::unique_ptr<RecordingView> m_view;
    std::unique_ptr<Engine> m_engine;
};

void tst_apply::initTestCase()
{
    QVERIFY(m_journal.Start());
}

void tst_apply::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = RuntimeState();
    m_view = std::make_unique<RecordingView>(&m_state);
    m_engine = std::make_unique<Engine>(m_state, *m_view);
}

void tst_apply::cleanup()
{
    m_engine.reset();
    m_view.reset();
    m_dir.reset();
}

QStringList tst_apply::AppliedInJournal(int& lines)
{
    const QString fresh = m_journal.Fresh();
    static const QRegularExpression marker(QStringLiteral("(iplog\\.ini re-read|setup dialog): (.*)$"));
    static const QRegularExpression item(QStringLiteral("[a-zA-Z -]+ \\([^)]*\\)"));
    QStringList items;
    lines = 0;
    for (const QString& line : fresh.split(u'\n')) {
        const QRegularExpressionMatch applied = marker.match(line);
        if (!applied.hasMatch())
            continue;
        ++lines;
        for (const QRegularExpressionMatch& found : item.globalMatch(applied.captured(2)))
            items.append(found.captured().trimmed());
    }
    return items;
}

// The settings file has been written and the relay is closing: a SIGHUP then (the window closed first)
// neither stores nor applies what the file says, and every waiter is told once the relay has closed.
void tst_apply::reloadWhileStoppingChangesNothing()
{
    Peer rix;
    QVERIFY(rix.Listen());
    const quint16 clientPort = FreePort();
    const QString settingsFile = m_dir->filePath(QStringLiteral("iplog.ini"));
    QVERIFY(WriteFile(settingsFile, SettingsFileText(rix.Port(), clientPort)));
    m_engine->Start(m_dir->path());
    int first = 0;
    int second = 0;
    m_engine->Stop([&] { ++first; });
    QVERIFY(WriteFile(settingsFile, SettingsFileText(rix.Port(), clientPort + 1)));
    QVERIFY(!m_engine->ReloadSettings().has_value());
    QCOMPARE(m_state.ClientIPPort, int(clientPort));
    QVERIFY(!m_engine->Net.wscktClient(0).IsListening());
    m_engine->Stop([&] { ++second; });
    QTRY_VERIFY(m_engine->Net.IsClosed());
    QCOMPARE(first, 1);
    QCOMPARE(second, 1);
    const QByteArray journal = m_journal.All();
    QVERIFY(journal.contains("iplog.ini not re-read: the relay is shutting down"));
}

void tst_apply::sameChangeSameResult_data()
{
    QTest::addColumn<bool>("byDialog");
    QTest::addColumn<int>("edits");
    QTest::addColumn<bool>("clientDropped");
    QTest::addColumn<bool>("rixRemade");
    const struct {
        const char* Name;
        int Edits;
        bool ClientDropped;
        bool RixRemade;
    } changes[] = {
        {"nothing", 0, false, false},
        {"data logging", DataLogging, false, false},
        {"client port", NewClientPort, true, false},
        {"connect mode", ToConnectMode, true, false},
        {"RIX port", NewRixPort, false, true},
        {"RIX address", NewRixAddress, false, true},
        {"client port and RIX port", NewClientPort | NewRixPort, true, true},
        {"a client port that is not a port", ClientPortThatIsNot, false, false},
    };
    for (const auto& change : changes) {
        for (const bool byDialog : {true, false})
            QTest::addRow("%s, %s", change.Name, byDialog ? "setup dialog" : "iplog.ini re-read")
                << byDialog << change.Edits << change.ClientDropped << change.RixRemade;
    }
}

void tst_apply::sameChangeSameResult()
{
    QFETCH(bool, byDialog);
    QFETCH(int, edits);
    QFETCH(bool, clientDropped);
    QFETCH(bool, rixRemade);

    // A relay in listen mode with one client relaying to the RIX.
    Peer oldRix;
    QVERIFY(oldRix.Listen());
    const quint16 clientPort = FreePort();
    const QString settingsFile = m_dir->filePath(QStringLiteral("iplog.ini"));
    QVERIFY(WriteFile(settingsFile, SettingsFileText(oldRix.Port(), clientPort)));
    m_engine->Start(m_dir->path());
    Client client;
    QVERIFY(client.ConnectGreeted(clientPort));
    client.Socket.write("before;");
    QTRY_VERIFY(oldRix.AllReceived.contains("before;"));
    Peer::Connection* link = nullptr;
    for (int i = 0; i < oldRix.Count(); ++i) {
        if (oldRix.At(i).Received.contains("before;"))
            link = &oldRix.At(i);
    }
    QVERIFY(link);
    int lines = 0;
    AppliedInJournal(lines);

    Settings expected = m_state;
    Peer newRix;
    if (edits & NewClientPort)
        expected.ClientIPPort = FreePort();
    if (edits & ToConnectMode)
        expected.OperationMode = Constants::ConnectMode;
    if (edits & NewRixPort) {
        QVERIFY(newRix.Listen());
        expected.RixIPPort = newRix.Port();
    }
    if (edits & NewRixAddress) {
        // A second RIX on another loopback address, same port.
        QVERIFY(newRix.Server.listen(QHostAddress(QStringLiteral("127.0.0.2")), oldRix.Port()));
        expected.RixIPAddress = QStringLiteral("127.0.0.2");
    }
    if (edits & DataLogging)
        expected.LogData = true;
    const int typedClientPort = edits & ClientPortThatIsNot ? 70000 : expected.ClientIPPort;
    const bool refused = edits & ClientPortThatIsNot;

    if (byDialog) {
        QPointer<frmSetup> dialog = new frmSetup(m_state, m_engine->Applier, m_engine->Errors);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->open();
        dialog->txtClient->setText(QString::number(typedClientPort));
        dialog->txtServerIP->setText(QString::number(expected.RixIPPort));
        dialog->txtRIXIPAddr->setText(expected.RixIPAddress);
        dialog->OptMode[expected.OperationMode == Constants::ConnectMode ? 1 : 0]->setChecked(true);
        dialog->chkLogData->setChecked(expected.LogData);
        QSignalSpy accepted(dialog.get(), &QDialog::accepted);
        BoxAnswers answers; // every confirmation with OK
        dialog->cmdOk->click();
        QCOMPARE(accepted.count(), refused ? 0 : 1);
        if (refused) {
            QCOMPARE(Titles(answers.Boxes), QStringList{QStringLiteral("Port Error")});
            dialog->reject();
        }
    } else {
        QVERIFY(WriteFile(settingsFile,
                          SettingsFileText(expected.RixIPPort, typedClientPort,
                                           expected.OperationMode == Constants::ListenMode, expected.LogData,
                                           expected.RixIPAddress)));
        QCOMPARE(m_engine->ReloadSettings().has_value(), !refused);
    }

    // The settings held and shown.
    QCOMPARE(SettingsText(m_state), SettingsText(expected));
    QCOMPARE(m_view->PortSummary,
             QStringLiteral("RIX IP Port:%1/Client IP Port:%2").arg(expected.RixIPPort).arg(expected.ClientIPPort));

    // What the journal says was applied.
    QStringList applied;
    if (edits & (NewClientPort | ToConnectMode))
        applied.append(
            expected.OperationMode == Constants::ListenMode
                ? QStringLiteral("client side re-opened (listening on 0.0.0.0:%1)").arg(expected.ClientIPPort)
                : QStringLiteral("client side re-opened (connecting to 127.0.0.1:%1)").arg(expected.ClientIPPort));
    if (edits & (NewRixPort | NewRixAddress))
        applied.append(
            QStringLiteral("RIX side re-connected (%1:%2)").arg(expected.RixIPAddress).arg(expected.RixIPPort));
    if (edits & DataLogging)
        applied.append(QStringLiteral("other settings taken (data logging on, packet size 16383)"));
    QCOMPARE(AppliedInJournal(lines), applied);
    // A refused change writes no such line; a re-read says even that nothing changed.
    QCOMPARE(lines > 0, !refused && (!applied.isEmpty() || !byDialog));

    // The client side: dropped and re-opened where the settings say, or left as it was.
    const bool listening = expected.OperationMode == Constants::ListenMode;
    QCOMPARE(IsListening(clientPort), listening && expected.ClientIPPort == clientPort);
    if (clientDropped) {
        QTRY_VERIFY(client.Closed);
        QTRY_VERIFY(link->Closed);
    }
    Client newcomer;
    Client* relaying = &client;
    if (clientDropped) {
        if (!listening)
            return; // the relay connects out to a client nobody plays here
        QVERIFY(newcomer.ConnectGreeted(quint16(expected.ClientIPPort)));
        relaying = &newcomer;
    }

    // The RIX side: bytes go on through the RIX connection they had, or through a new one to the new
    // RIX, the old one let go.
    relaying->Socket.write("after;");
    Peer& rixNow = rixRemade ? newRix : oldRix;
    QTRY_VERIFY(rixNow.AllReceived.contains("after;"));
    if (rixRemade) {
        QTRY_VERIFY(link->Closed);
    } else if (!clientDropped) {
        QVERIFY(link->Received.endsWith("after;"));
        QVERIFY(!link->Closed);
    }
    QVERIFY(!relaying->Closed);
    if (expected.LogData)
        QTRY_VERIFY(ReadAll(m_dir->filePath(QStringLiteral("DataLog.log"))).contains("after;"));
}

QTEST_MAIN(tst_apply)
#include "tst_apply.moc"
