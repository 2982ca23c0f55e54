#include "app/Startup.h"
#include "core/Constants.h"
#include "core/RuntimeState.h"
#include "files/FileAccess.h"
#include "net/Relay.h"
#include "support/TestSupport.h"
#include "ui/ClientLinesView.h"
#include "ui/frmMain.h"
#include "ui/frmSetup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Answers every message box as it opens, in order, and remembers what each one said.
class BoxAnswers final : public QObject {
public:
    struct Seen {
        QString Title;
        QString Text;
        QMessageBox::Icon Icon;
        QMessageBox::StandardButtons Buttons;
    };

    explicit BoxAnswers(QList<QMessageBox::StandardButton> answers = {})
        : m_answers(std::move(answers))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            Boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            // An unexpected box is answered with its first button so the test does not hang.
            const QMessageBox::StandardButton answer =
                m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst();
            box->button(answer)->click();
        });
        m_timer.start(5);
    }

    QList<Seen> Boxes;

private:
    QList<QMessageBox::StandardButton> m_answers;
    QTimer m_timer;
};

QStringList Titles(const QList<BoxAnswers::Seen>& boxes)
{
    QStringList titles;
    for (const auto& box : boxes)
        titles.append(box.Title);
    return titles;
}

} // namespace

class tst_ui : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void clientLines_data();
    void clientLines();
    void linesShrinkBackToOne();
    void hundredClientsStayReadable();
    void messageLabelsShowTheLatest();
    void linesChangedWhileHiddenAppearWhenShown();
    void trayWhereAvailable();
    void noTrayMinimisesNormally();

    void setupOpensWithTheSettings();
    void okWithNothingChangedAsksNothing();
    void invalidClientPort_data();
    void invalidClientPort();
    void fractionalPortRoundsHalfToEven();
    void clientAddress_data();
    void clientAddress();
    void cancelledPortChangeKeepsTheNewMode();
    void invalidRixPortAfterAClientChange();
    void changedRixAddressReconnectsAtOnce();
    void cancelAppliesNothing();

private:
    void StartRelay(quint16 rixPort);
    void SetSlots(int count, const QList<int>& connected);
    frmSetup* OpenSetup();

    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    RecordingErrors m_errors;
    TestClock m_clock;
    std::unique_ptr<frmMain> m_window;
    std::unique_ptr<EventLog> m_events;
    std::unique_ptr<DataLog> m_data;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<QTcpServer> m_rix;
};

void tst_ui::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = RuntimeState();
    m_state.AppPath = m_dir->path() + u'/';
    m_errors.Reports.clear();
    m_window = std::make_unique<frmMain>(m_state);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_ui::cleanup()
{
    m_relay.reset();
    m_rix.reset();
    m_data.reset();
    m_events.reset();
    m_window.reset();
    m_dir.reset();
}

void tst_ui::SetSlots(int count, const QList<int>& connected)
{
    m_state.ConnectionCount = qint16(count);
    m_state.GrowTables();
    for (int i = 1; i <= count; ++i) {
        m_state.Slot(i).Connected = connected.contains(i);
        m_state.Slot(i).ClientAddress = QStringLiteral("10.0.0.%1").arg(i);
    }
    UpdateConnectionLabels(m_state, *m_window, m_errors);
    m_window->Refresh();
}

void tst_ui::clientLines_data()
{
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<QList<int>>("connected");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<int>>("tops");
    QTest::addColumn<int>("height");
    QTest::newRow("no client") << 2 << QList<int>{} << QStringList{} << QList<int>{} << 2670;
    QTest::newRow("one client") << 1 << QList<int>{1} << QStringList{"10.0.0.1 -> Connected"} << QList<int>{120} << 3045;
    QTest::newRow("slots 1, 3 and 4")
        << 4 << QList<int>{4, 1, 3}
        << QStringList{"10.0.0.1 -> Connected", "10.0.0.3 -> Connected", "10.0.0.4 -> Connected"}
        << QList<int>{120, 495, 870} << 3795;
}

void tst_ui::clientLines()
{
    QFETCH(int, slotCount);
    QFETCH(QList<int>, connected);
    QFETCH(QStringList, lines);
    QFETCH(QList<int>, tops);
    QFETCH(int, height);
    SetSlots(slotCount, connected);
    QCOMPARE(m_state.ShownClientLabels, qint16(lines.size()));
    QCOMPARE(m_window->LblClient->Lines(), lines);
    for (int k = 0; k < lines.size(); ++k)
        QCOMPARE(ClientLinesView::LineTopTwips(k), tops[k]);
    QCOMPARE(m_window->HeightTwips(), height);
    QCOMPARE(m_window->height(), height / 15); // 96 dpi: 15 twips a pixel
    // The lower labels follow the last line, 480 twips apart, and never cover a line.
    const int connectionsTop = m_window->TopTwips(m_window->lblConnections);
    QCOMPARE(connectionsTop, 120 + 375 * int(lines.size()));
    QCOMPARE(m_window->TopTwips(m_window->lblLastClientMessage), connectionsTop + 480);
    QCOMPARE(m_window->TopTwips(m_window->lblLastRIXMessage), connectionsTop + 960);
    QCOMPARE(m_window->TopTwips(m_window->lblIPPorts), connectionsTop + 1440);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_ui::linesShrinkBackToOne()
{
    SetSlots(3, {1, 2, 3});
    QCOMPARE(m_window->LblClient->Lines().size(), 3);
    SetSlots(3, {2});
    QCOMPARE(m_window->LblClient->Lines(), QStringList{QStringLiteral("10.0.0.2 -> Connected")});
    QCOMPARE(m_window->HeightTwips(), 3045);
    QCOMPARE(m_window->TopTwips(m_window->lblConnections), 495);
}

void tst_ui::hundredClientsStayReadable()
{
    QList<int> all;
    for (int i = 1; i <= 100; ++i)
        all.append(i);
    SetSlots(100, all);
    QVERIFY(m_errors.Reports.isEmpty());
    QCOMPARE(m_window->LblClient->Lines().size(), 100);
    QCOMPARE(m_window->LblClient->Lines()[99], QStringLiteral("10.0.0.100 -> Connected"));
    // The window stops at the screen; the lines scroll and the lower labels stay inside it.
    QVERIFY(m_window->height() <= m_window->screen()->availableGeometry().height());
    const QLabel* ports = m_window->lblIPPorts;
    QVERIFY(ports->mapTo(m_window.get(), QPoint(0, ports->height())).y() <= m_window->height());
    SetSlots(100, {7});
    QCOMPARE(m_window->HeightTwips(), 3045);
}

void tst_ui::messageLabelsShowTheLatest()
{
    for (int burst = 0; burst < 1000; ++burst) {
        m_window->ShowLastClientMessage(QStringLiteral("10.0.0.5: %1\r\n").arg(burst));
        m_window->ShowLastRixMessage(QStringLiteral("127.0.0.1: %1\r\n").arg(burst));
    }
    QTRY_COMPARE(m_window->lblLastClientMessage->text(), QStringLiteral("10.0.0.5: 999\r\n"));
    QTRY_COMPARE(m_window->lblLastRIXMessage->text(), QStringLiteral("127.0.0.1: 999\r\n"));
}

void tst_ui::linesChangedWhileHiddenAppearWhenShown()
{
    SetSlots(1, {1});
    m_window->hide();
    SetSlots(3, {1, 2, 3});
    m_window->show();
    QCOMPARE(m_window->LblClient->Lines().size(), 3);
    QCOMPARE(m_window->HeightTwips(), 3795);
}

void tst_ui::trayWhereAvailable()
{
    m_window->TrayAvailable = [] { return true; };
    const QList<QAction*> items = m_window->mnuSysTray->actions();
    QCOMPARE(items.size(), 3);
    QCOMPARE(items[0]->text(), QStringLiteral("&Restore"));
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2]->text(), QStringLiteral("E&xit"));
    QCOMPARE(m_window->TrayIcon->toolTip(), QStringLiteral("KEL Tolvane"));
    QVERIFY(!m_window->TrayIcon->isVisible());

    for (const bool byDoubleClick : {true, false}) {
        m_window->showMinimized();
        QTRY_VERIFY(!m_window->isVisible());
        QVERIFY(m_window->TrayIcon->isVisible());
        if (byDoubleClick)
            emit m_window->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
        else
            m_window->mnuPopRestore->trigger();
        QTRY_VERIFY(m_window->isVisible());
        QVERIFY(!m_window->isMinimized());
        QVERIFY(!m_window->TrayIcon->isVisible());
        QVERIFY(!m_state.RestoringFromTray);
    }
    // A single click does nothing.
    emit m_window->TrayIcon->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!m_window->TrayIcon->isVisible());

    m_window->showMinimized();
    QTRY_VERIFY(m_window->TrayIcon->isVisible());
    QSignalSpy closing(m_window.get(), &frmMain::Closing);
    m_window->mnuPopExit->trigger();
    QCOMPARE(closing.count(), 1);
    QVERIFY(!m_window->TrayIcon->isVisible());
}

void tst_ui::noTrayMinimisesNormally()
{
    m_window->TrayAvailable = [] { return false; };
    m_window->showMinimized();
    QTRY_VERIFY(m_window->isMinimized());
    QVERIFY(m_window->isVisible());
    QVERIFY(!m_window->TrayIcon->isVisible());
}

void tst_ui::StartRelay(quint16 rixPort)
{
    QFile settings(m_dir->path() + QStringLiteral("/iplog.ini"));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write(QStringLiteral("RIX IP Port=%1\r\nRIX IP Address=127.0.0.1\r\nClient IP Port=0\r\n"
                                  "Client IP Address=127.0.0.1\r\nServer Mode=Yes\r\nLog Data=No\r\n")
                       .arg(rixPort)
                       .toLatin1());
    settings.close();
    m_events = std::make_unique<EventLog>(m_state, m_clock, m_errors);
    m_data = std::make_unique<DataLog>(m_state, m_clock, m_errors, *m_window);
    m_relay = std::make_unique<Relay>(m_state, *m_window, m_errors, *m_events, *m_data);
    RunStartup(m_state, *m_window, m_errors, *m_relay, m_dir->path());
    m_relay->tmrPoll.stop();
}

frmSetup* tst_ui::OpenSetup()
{
    if (!m_relay) {
        m_rix = std::make_unique<QTcpServer>();
        m_rix->listen(QHostAddress::LocalHost);
        StartRelay(m_rix->serverPort());
    }
    auto* dialog = new frmSetup(m_state, *m_relay, *m_window, m_errors, m_window.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
    return dialog;
}

void tst_ui::setupOpensWithTheSettings()
{
    frmSetup* dialog = OpenSetup();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Setup"));
    QCOMPARE(dialog->txtClient->text(), QStringLiteral("0"));
    QCOMPARE(dialog->txtServerIP->text(), QString::number(m_rix->serverPort()));
    QCOMPARE(dialog->txtClientIPAddr->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(dialog->txtRIXIPAddr->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(dialog->OptMode[0]->isChecked());
    QVERIFY(!dialog->chkLogData->isChecked());
    QCOMPARE(dialog->lblRIXIP->text(), QStringLiteral("KEL RIX  IP Address"));
    QCOMPARE(dialog->OptMode[0]->toolTip(), QStringLiteral("Listen for Incomming Connection"));
    // Keyboard focus order.
    dialog->txtClient->setFocus();
    QWidget* order[] = {dialog->txtServerIP, dialog->cmdOk, dialog->cmdCancel, dialog->chkLogData,
                        dialog->OptMode[0]};
    QWidget* at = dialog->txtClient;
    for (QWidget* next : order) {
        at = at->nextInFocusChain();
        while (at->focusPolicy() == Qt::NoFocus)
            at = at->nextInFocusChain();
        QCOMPARE(at, next);
    }
}

void tst_ui::okWithNothingChangedAsksNothing()
{
    frmSetup* dialog = OpenSetup();
    m_state.ClientIPPort = 1100; // a port of 0 would be refused
    dialog->txtClient->setText(QStringLiteral("1100"));
    dialog->chkLogData->setChecked(true);
    QSignalSpy accepted(dialog, &QDialog::accepted);
    BoxAnswers answers;
    dialog->cmdOk->click();
    QCOMPARE(answers.Boxes.size(), 0);
    QCOMPARE(accepted.count(), 1);
    QVERIFY(m_state.LogData);
    QTRY_COMPARE(m_window->lblIPPorts->text(), QStringLiteral("RIX IP Port:%1/Client IP Port:1100").arg(m_rix->serverPort()));
}

void tst_ui::invalidClientPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << "0";
    QTest::newRow("negative") << "-1";
    QTest::newRow("too large") << "65536";
    QTest::newRow("no digits") << "abc";
}

void tst_ui::invalidClientPort()
{
    QFETCH(QString, text);
    frmSetup* dialog = OpenSetup();
    dialog->txtClient->setText(text);
    BoxAnswers answers;
    dialog->cmdOk->click();
    QCOMPARE(answers.Boxes.size(), 1);
    QCOMPARE(answers.Boxes[0].Title, QStringLiteral("Port Error"));
    QCOMPARE(answers.Boxes[0].Text, QStringLiteral("Invalid Client IP Port #. Please reenter a number between 1 and 65535"));
    QCOMPARE(answers.Boxes[0].Icon, QMessageBox::NoIcon);
    QCOMPARE(answers.Boxes[0].Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->txtClient->text(), text);
}

void tst_ui::fractionalPortRoundsHalfToEven()
{
    frmSetup* dialog = OpenSetup();
    dialog->txtClient->setText(QStringLiteral("1100.5"));
    BoxAnswers answers({QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), QStringList{QStringLiteral("IP Port Change")});
    QCOMPARE(answers.Boxes[0].Text, QStringLiteral("You have entered a new client IP Port#\r\nThis will disconnect any users "
                                                   "currently attached\r\nPlease Confirm"));
    QCOMPARE(answers.Boxes[0].Buttons, QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(m_state.ClientIPPort, 1100);
    // The listener follows the new port.
    QTRY_COMPARE(m_relay->wscktClient(0).LocalPort(), 1100);
}

void tst_ui::clientAddress_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored"); // empty: refused
    QTest::newRow("clamped") << "300.1.1.1" << "255.1.1.1";
    QTest::newRow("three fields") << "1.2.3" << "";
    QTest::newRow("ends in its third dot") << "1.2.3." << "";
    QTest::newRow("letters") << "a.b.c.d" << "0.0.0.0";
    QTest::newRow("fourth field with a dot") << "1.2.3.4.6" << "1.2.3.5";
    QTest::newRow("leading zeros") << "127.000.0.1" << "127.0.0.1";
}

void tst_ui::clientAddress()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    frmSetup* dialog = OpenSetup();
    m_state.ClientIPPort = 1100; // a port of 0 would be refused before the address is looked at
    dialog->txtClient->setText(QStringLiteral("1100"));
    dialog->txtClientIPAddr->setText(typed);
    BoxAnswers answers({QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(answers.Boxes.size(), 1);
    if (stored.isEmpty()) {
        QCOMPARE(answers.Boxes[0].Text, QStringLiteral("Invalid Client IP Address. Please reenter"));
        QCOMPARE(dialog->txtClientIPAddr->text(), QStringLiteral("127.0.0.1")); // the stored address is put back
        QCOMPARE(m_state.ClientIPAddress, QStringLiteral("127.0.0.1"));
        QVERIFY(dialog->isVisible());
    } else {
        QCOMPARE(answers.Boxes[0].Title, QStringLiteral("IP Address Change"));
        QCOMPARE(m_state.ClientIPAddress, stored);
    }
}

void tst_ui::cancelledPortChangeKeepsTheNewMode()
{
    frmSetup* dialog = OpenSetup();
    dialog->OptMode[1]->setChecked(true);
    dialog->txtClient->setText(QStringLiteral("1234"));
    BoxAnswers answers({QMessageBox::Cancel});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), QStringList{QStringLiteral("IP Port Change")});
    QCOMPARE(m_state.OperationMode, Constants::ConnectMode);
    QCOMPARE(m_state.ClientIPPort, 0);
    QVERIFY(dialog->isVisible());
}

void tst_ui::invalidRixPortAfterAClientChange()
{
    frmSetup* dialog = OpenSetup();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_relay->wscktClient(0).LocalPort()));
    QTRY_COMPARE(m_state.ConnectedClients, qint16(1));
    QSignalSpy dropped(&client, &QTcpSocket::disconnected);

    dialog->txtClient->setText(QStringLiteral("1101"));
    dialog->txtServerIP->setText(QStringLiteral("0"));
    BoxAnswers answers({QMessageBox::Ok, QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), (QStringList{QStringLiteral("IP Port Change"), QStringLiteral("Port Error")}));
    QCOMPARE(answers.Boxes[1].Text,
             QStringLiteral("Invalid Server Module IP Port #. Please reenter a number between 1 and 65535"));
    QTRY_COMPARE(dropped.count(), 1);
    QCOMPARE(m_state.ConnectedClients, qint16(0));
    QTRY_COMPARE(m_window->lblConnections->text(), QStringLiteral("Client Connections: 0000"));
    QCOMPARE(m_state.ClientIPPort, 1101);
    QVERIFY(dialog->isVisible());
}

void tst_ui::changedRixAddressReconnectsAtOnce()
{
    frmSetup* dialog = OpenSetup();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_relay->wscktClient(0).LocalPort()));
    QTRY_VERIFY(m_relay->wsktServer.Count() > 1 && m_relay->wsktServer(1).IsConnected());
    m_state.ClientIPPort = m_relay->wscktClient(0).LocalPort(); // as if configured so: no client change
    dialog->txtClient->setText(QString::number(m_state.ClientIPPort));

    // A second RIX on another loopback address, same port.
    QTcpServer second;
    QVERIFY(second.listen(QHostAddress(QStringLiteral("127.0.0.2")), m_rix->serverPort()));
    dialog->txtRIXIPAddr->setText(QStringLiteral("127.0.0.2"));
    BoxAnswers answers({QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), QStringList{QStringLiteral("IP Address Change")});
    QCOMPARE(m_state.RixIPAddress, QStringLiteral("127.0.0.2"));
    QTRY_VERIFY(second.hasPendingConnections()); // without waiting for the poll
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void tst_ui::cancelAppliesNothing()
{
    frmSetup* dialog = OpenSetup();
    QFile settings(m_dir->path() + QStringLiteral("/iplog.ini"));
    QVERIFY(settings.open(QIODevice::ReadOnly));
    const QByteArray before = settings.readAll();
    settings.close();
    dialog->txtClient->setText(QStringLiteral("2000"));
    dialog->OptMode[1]->setChecked(true);
    dialog->chkLogData->setChecked(true);
    BoxAnswers answers;
    dialog->cmdCancel->click();
    QCOMPARE(answers.Boxes.size(), 0);
    QCOMPARE(m_state.ClientIPPort, 0);
    QCOMPARE(m_state.OperationMode, Constants::ListenMode);
    QVERIFY(!m_state.LogData);
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QCOMPARE(settings.readAll(), before); // the dialog never writes the settings file
}

QTEST_MAIN(tst_ui)
#include "tst_ui.moc"
