#include "app/SettingsApplier.h"
#include "app/Startup.h"
#include "core/Constants.h"
#include "core/RelayCounters.h"
#include "core/RuntimeState.h"
#include "files/DataLabel.h"
#include "files/DataLog.h"
#include "files/FileAccess.h"
#include "net/Relay.h"
#include "support/DialogSupport.h"
#include "support/LoopbackSupport.h"
#include "support/TestSupport.h"
#include "ui/ClientLinesView.h"
#include "ui/ConnectionsModel.h"
#include "ui/OneLineLabel.h"
#include "ui/ShownTime.h"
#include "ui/frmConnections.h"
#include "ui/frmMain.h"
#include "ui/frmSetup.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileInfo>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStringDecoder>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <optional>

namespace {

// Every label is one line inside the window, below the client lines in view and above the next label.
void VerifyLabelsKeepTheirPlace(const frmMain& window)
{
    const QScrollArea* area = window.findChild<QScrollArea*>(QStringLiteral("ClientLines"));
    const int linesBottom = window.LblClient->mapTo(&window, QPoint(0, window.LblClient->height())).y();
    int above = qMin(linesBottom, area->mapTo(&window, QPoint(0, area->height())).y());
    const QLabel* labels[] = {window.lblConnections,    window.lblLastClientMessage,
                              window.lblLastRIXMessage, window.lblIPPorts,
                              window.lblLink,           window.lblDataLog};
    for (const QLabel* label : labels) {
        const QRect box(label->mapTo(&window, QPoint(0, 0)), label->size());
        QVERIFY2(box.top() >= above, qPrintable(label->objectName()));
        QVERIFY(box.right() < window.width() && box.bottom() < window.height());
        QVERIFY2(label->sizeHint().height() <= box.height(), qPrintable(label->objectName())); // one line
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width());
        above = box.bottom();
    }
}

// The next count bytes the peer sent, once they have all come; fewer when they have not within 5 s.
QByteArray ReadExactly(QTcpSocket& socket, qint64 count)
{
    if (!QTest::qWaitFor([&] { return socket.bytesAvailable() >= count; }, 5000))
        qWarning("only %lld of %lld bytes came", socket.bytesAvailable(), count);
    return socket.read(count);
}

} // namespace

class tst_ui : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsWithItsDesignTexts();
    void clientLines_data();
    void clientLines();
    void windowGrowsByOneLinePerClient_data();
    void windowGrowsByOneLinePerClient();
    void onlyWholeLinesInView();
    void burstLabels_data();
    void burstLabels();
    void everyByteShowsAsPrintableText();
    void labelsShowTheLatest();
    void shownTooltipFollowsTheText();
    void linesChangedWhileHiddenAppearWhenShown();
    void trayWhereAvailable();
    void trayLostWhileHiddenBringsTheWindowBack();
    void noTrayMinimisesNormally_data();
    void noTrayMinimisesNormally();
    void setupComesBackWithTheWindow();
    void busyClientPortSaysNotListening_data();
    void busyClientPortSaysNotListening();
    void clientPortThatIsNotAPort_data();
    void clientPortThatIsNotAPort();
    void linkLine_data();
    void linkLine();
    void trayMarksTroubleUntilTheRixIsBack();
    void connectModeLinkLine_data();
    void connectModeLinkLine();
    void linkLineDatesYesterdayAfterMidnight();
    void msToNextDay_data();
    void msToNextDay();
    void connectionsTable();
    void connectionsFollowTheirClients_data();
    void connectionsFollowTheirClients();
    void connectionsCostNothingWhileClosed();
    void lastActivityCountsFromTheConnection();
    void dataLogState();

    void setupOpensWithTheSettings();
    void okWithNothingChangedAsksNothing();
    void invalidClientPort_data();
    void invalidClientPort();
    void addressBox_data();
    void addressBox();
    void enterMeansOk_data();
    void enterMeansOk();
    void windowHasTheFocusWhenSetupCloses_data();
    void windowHasTheFocusWhenSetupCloses();
    void stoppedClientSideChangesNothing_data();
    void stoppedClientSideChangesNothing();
    void invalidRixPortAfterAClientChange();
    void changedRixSideReconnectsAtOnce_data();
    void changedRixSideReconnectsAtOnce();
    void cancelAppliesNothing();

private:
    void StartRelay(int clientPort, bool connectMode = false);
    bool Minimise();
    void SetSlots(int count, const QList<int>& connected);
    QString Ports() const;
    // focus: the control that has the keyboard focus as the dialog opens, when not the first one.
    frmSetup* OpenSetup(const QString& focus = {});
    int Pixels(int twips) const;
    void ActivateAsTheWindowManagerWould(QWidget* window);

    std::unique_ptr<QTemporaryDir> m_dir;
    RuntimeState m_state;
    RecordingErrors m_errors;
    TestClock m_clock;
    std::unique_ptr<frmMain> m_window;
    std::unique_ptr<EventLog> m_events;
    std::unique_ptr<DataLog> m_dataLog;
    std::unique_ptr<RelayCounters> m_counters;
    std::unique_ptr<RelayEventHub> m_hub;
    Clock m_systemClock;
    std::unique_ptr<Relay> m_relay;
    std::unique_ptr<SettingsApplier> m_applier;
    std::unique_ptr<QTcpServer> m_rix;
};

void tst_ui::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_state = RuntimeState();
    m_state.AppPath = m_dir->path() + u'/';
    m_errors.Reports.clear();
    m_clock = TestClock();
    m_window = std::make_unique<frmMain>(m_state);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_ui::cleanup()
{
    m_applier.reset();
    m_relay.reset();
    m_rix.reset();
    m_events.reset();
    m_dataLog.reset();
    m_window.reset();
    m_hub.reset();
    m_counters.reset();
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

// A window manager makes a new window the active one; the offscreen platform leaves that to the program.
// (qWaitForWindowActive would not tell: a dialog counts as active while the window it belongs to is.)
void tst_ui::ActivateAsTheWindowManagerWould(QWidget* window)
{
    window->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), window);
}

int tst_ui::Pixels(int twips) const
{
    return qRound(twips * m_window->screen()->logicalDotsPerInchY() / 1440.0);
}

// What the window says before the relay has told it anything.
void tst_ui::startsWithItsDesignTexts()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Tolvane"));
    QCOMPARE(m_window->lblConnections->text(), QStringLiteral("Client Connections = 000"));
    QCOMPARE(m_window->lblIPPorts->text(), QStringLiteral("Server IP"));
    QVERIFY(m_window->lblLastClientMessage->text().isEmpty());
    QVERIFY(m_window->lblLastRIXMessage->text().isEmpty());
    QCOMPARE(m_window->ShownClientLabels, qint16(0));
}

void tst_ui::clientLines_data()
{
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<QList<int>>("connected");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("no client") << 2 << QList<int>{} << QStringList{};
    QTest::newRow("one client") << 1 << QList<int>{1} << QStringList{"10.0.0.1 -> Connected"};
    QTest::newRow("slots 1, 3 and 4, lowest first")
        << 4 << QList<int>{4, 1, 3}
        << QStringList{"10.0.0.1 -> Connected", "10.0.0.3 -> Connected", "10.0.0.4 -> Connected"};
    QList<int> all;
    QStringList hundred;
    for (int i = 1; i <= 100; ++i) {
        all.append(i);
        hundred.append(QStringLiteral("10.0.0.%1 -> Connected").arg(i));
    }
    QTest::newRow("more than the screen holds") << 100 << all << hundred;
}

void tst_ui::clientLines()
{
    QFETCH(int, slotCount);
    QFETCH(QList<int>, connected);
    QFETCH(QStringList, lines);
    SetSlots(3, {1, 2, 3}); // more lines before: the update also shrinks
    const int heightWithThree = m_window->height();
    SetSlots(slotCount, connected);
    QCOMPARE(m_window->ShownClientLabels, qint16(lines.size()));
    QCOMPARE(m_window->LblClient->Lines(), lines);
    QCOMPARE(m_window->height() < heightWithThree, lines.size() < 3);
    // The window, frame included, stops at the screen; only then do the lines scroll.
    QVERIFY(m_window->screen()->availableGeometry().contains(m_window->frameGeometry()));
    const bool scrolls = lines.size() == 100;
    const QScrollArea* area = m_window->findChild<QScrollArea*>();
    QCOMPARE(m_window->LblClient->height() > area->height(), scrolls);
    QTRY_COMPARE(area->verticalScrollBar()->isVisible(), scrolls);
    VerifyLabelsKeepTheirPlace(*m_window);
    QVERIFY(m_errors.Reports.isEmpty());
}

void tst_ui::windowGrowsByOneLinePerClient_data()
{
    QTest::addColumn<int>("slotCount");
    QTest::addColumn<QList<int>>("connected");
    QTest::addColumn<int>("heightTwips");
    QTest::newRow("no client") << 2 << QList<int>{} << 2670;
    QTest::newRow("one client") << 1 << QList<int>{1} << 3045;
    QTest::newRow("slots 1, 3 and 4") << 4 << QList<int>{1, 3, 4} << 3795;
}

// The window is designed in twips: 2670 with no client line, and 375 more for each line.
void tst_ui::windowGrowsByOneLinePerClient()
{
    QFETCH(int, slotCount);
    QFETCH(QList<int>, connected);
    QFETCH(int, heightTwips);
    SetSlots(slotCount, connected);
    // The status bar comes under the design.
    QCOMPARE(m_window->height() - m_window->statusBar()->height(), Pixels(heightTwips));
    // The count stands where the next line would, each label below it 480 twips further down.
    int top = Pixels(120 + 375 * int(connected.size()));
    for (const QLabel* label : {m_window->lblConnections, m_window->lblLastClientMessage, m_window->lblLastRIXMessage,
                                m_window->lblIPPorts}) {
        QCOMPARE(label->y(), top);
        top += Pixels(480);
    }
}

void tst_ui::onlyWholeLinesInView()
{
    QList<int> all;
    for (int i = 1; i <= 30; ++i)
        all.append(i);
    SetSlots(30, all);
    const QScrollArea* area = m_window->findChild<QScrollArea*>(QStringLiteral("ClientLines"));
    QScrollBar* bar = area->verticalScrollBar();
    QVERIFY(bar->maximum() > 0); // more lines than the screen holds
    const QWidget* view = area->viewport();
    const int lineHeight = Pixels(ClientLinesView::LineHeight);
    // What the screen shows of the view: every line in it is whole, and every whole line is there.
    const auto cutLines = [&] {
        const QPoint at = view->mapTo(m_window.get(), QPoint(0, 0));
        const QImage shot = m_window->screen()->grabWindow(m_window->winId()).toImage().copy(QRect(at, view->size()));
        const QRgb background = shot.pixel(0, 0); // left of the text
        QStringList wrong;
        QList<bool> drawn(all.size(), false);
        for (int y = 0; y < shot.height(); ++y) {
            bool ink = false;
            for (int x = 0; x < shot.width() && !ink; ++x)
                ink = shot.pixel(x, y) != background;
            if (!ink)
                continue;
            int k = 0;
            while (k < all.size() && Pixels(ClientLinesView::LineTopTwips(k)) + lineHeight <= y + bar->value())
                ++k;
            const int top = k < all.size() ? Pixels(ClientLinesView::LineTopTwips(k)) - bar->value() : shot.height();
            if (y < top)
                wrong.append(QStringLiteral("ink between lines at %1").arg(y));
            else if (top < 0 || top + lineHeight > shot.height())
                wrong.append(QStringLiteral("line %1 cut at %2").arg(k).arg(y));
            else
                drawn[k] = true;
        }
        for (int k = 0; k < all.size(); ++k) {
            const int top = Pixels(ClientLinesView::LineTopTwips(k)) - bar->value();
            if (top >= 0 && top + lineHeight <= shot.height() && !drawn[k])
                wrong.append(QStringLiteral("whole line %1 missing").arg(k));
        }
        return wrong.join(QStringLiteral(", "));
    };
    // At the top, the view ends where the next line would start, as the lines do without scrolling.
    int inView = 0;
    while (Pixels(ClientLinesView::LineTopTwips(inView + 1)) <= view->height())
        ++inView;
    QCOMPARE(view->height(), Pixels(ClientLinesView::LineTopTwips(inView)));
    for (const int offset : {0, 7, bar->maximum() / 2, bar->maximum(), 3}) {
        bar->setValue(offset);
        QTRY_COMPARE(cutLines(), QString());
    }
    VerifyLabelsKeepTheirPlace(*m_window);
}

void tst_ui::burstLabels_data()
{
    QTest::addColumn<QByteArray>("burst");
    QTest::addColumn<QString>("label");
    QTest::newRow("0x9C after a line feed") << QByteArray("START\n\x9c"
                                                          "END")
                                            << QString::fromUtf8("START^J\u0153END");
    QByteArray high;
    for (int byte = 0x80; byte < 0xA0; ++byte)
        high.append(char(byte));
    QTest::newRow("0x80-0x9F") << high << QString::fromUtf8("€M-^A‚ƒ„…†‡ˆ‰Š‹ŒM-^MŽM-^OM-^P‘’“”•–—˜™š›œM-^]žŸ");
    QTest::newRow("controls, DEL, soft hyphen, Latin-1")
        << QByteArray("\0\x1b[2J\x7f\xad\xa0\xe9\xff", 10) << QString::fromUtf8("^@^[[2J^?M--\u00a0éÿ");
    QTest::newRow("CR LF lines") << QByteArray("one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n")
                                 << QStringLiteral("one^M^Jtwo^M^Jthree^M^Jfour^M^Jfive^M^J");
    QTest::newRow("status frame, counter 10")
        << QByteArray("\x18\0\n\0\x01\0\x02\0\r\n", 10) << QStringLiteral("^X^@^J^@^A^@^B^@^M^J");
    QTest::newRow("4 KiB") << QByteArray(4096, 'x') << QString(300, u'x') + QChar(0x2026);
}

void tst_ui::burstLabels()
{
    QFETCH(QByteArray, burst);
    QFETCH(QString, label);
    SetSlots(1, {1});
    LastMessageLabels labels(*m_window);
    labels.BurstRelayed(RelayEvents::From::Client, 1, burst, QStringLiteral("10.0.0.5"));
    labels.BurstRelayed(RelayEvents::From::Rix, 1, burst, QStringLiteral("127.0.0.1"));
    m_window->Refresh();
    for (auto [shown, source] : {std::pair(m_window->lblLastClientMessage, "10.0.0.5: "),
                                 std::pair(m_window->lblLastRIXMessage, "127.0.0.1: ")}) {
        const QString whole = QString::fromLatin1(source) + label;
        QCOMPARE(shown->FullText(), whole);
        // What does not fit is cut with a visible ellipsis, and the tooltip has the whole text.
        if (shown->text() != whole) {
            QVERIFY(shown->text().endsWith(QChar(0x2026)));
            QVERIFY(whole.startsWith(shown->text().chopped(1)));
            QCOMPARE(shown->toolTip(), whole);
        }
    }
    VerifyLabelsKeepTheirPlace(*m_window);
}

void tst_ui::everyByteShowsAsPrintableText()
{
    for (int byte = 0; byte < 256; ++byte) {
        const QString shown = DataLabel::LabelText(QByteArray(1, char(byte)), {}).mid(2);
        QVERIFY(!shown.isEmpty());
        for (QChar character : shown)
            QVERIFY2(character.isPrint(), qPrintable(QString::number(byte, 16)));
    }
    // Without Qt's converter the table stands in for bytes 0x80-0x9F; it must say what the converter says.
    QStringDecoder converter("windows-1252");
    if (!converter.isValid())
        QSKIP("this Qt has no Windows-1252 converter");
    for (int byte = 0x80; byte < 0xA0; ++byte) {
        const char raw = char(byte);
        QCOMPARE(QString(QChar(DataLabel::Windows1252Character(quint8(byte)))),
                 converter.decode(QByteArrayView(&raw, 1)));
    }
}

void tst_ui::labelsShowTheLatest()
{
    for (int burst = 0; burst < 1000; ++burst) {
        m_window->ShowLastClientMessage(QStringLiteral("10.0.0.5: %1").arg(burst));
        m_window->ShowLastRixMessage(QStringLiteral("127.0.0.1: %1").arg(burst));
    }
    QTRY_COMPARE(m_window->lblLastClientMessage->text(), QStringLiteral("10.0.0.5: 999"));
    QTRY_COMPARE(m_window->lblLastRIXMessage->text(), QStringLiteral("127.0.0.1: 999"));
}

void tst_ui::shownTooltipFollowsTheText()
{
    const QString first = QStringLiteral("10.0.0.5: ") + QString(300, u'a');
    const QString second = QStringLiteral("10.0.0.5: ") + QString(300, u'b');
    m_window->ShowLastClientMessage(first);
    m_window->Refresh();
    // The operator rests the mouse on the cut text.
    OneLineLabel* label = m_window->lblLastClientMessage;
    const QPoint middle = label->rect().center();
    QHelpEvent hover(QEvent::ToolTip, middle, label->mapToGlobal(middle));
    QApplication::sendEvent(label, &hover);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), first);
    // A new burst while it shows: the tooltip says the new text, not another label's.
    m_window->ShowLastClientMessage(second);
    m_window->ShowLastRixMessage(QStringLiteral("127.0.0.1: ") + QString(300, u'c'));
    m_window->Refresh();
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), second);
    // A text that fits has no tooltip: the one showing goes.
    m_window->ShowLastClientMessage(QStringLiteral("10.0.0.5: short"));
    m_window->Refresh();
    QTRY_VERIFY(!QToolTip::isVisible());
}

void tst_ui::linesChangedWhileHiddenAppearWhenShown()
{
    SetSlots(1, {1});
    m_window->hide();
    SetSlots(3, {1, 2, 3});
    m_window->show();
    QCOMPARE(m_window->LblClient->Lines().size(), 3);
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
        QVERIFY(Minimise());
        QVERIFY(!m_window->isVisible());
        QVERIFY(m_window->TrayIcon->isVisible());
        if (byDoubleClick)
            emit m_window->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
        else
            m_window->mnuPopRestore->trigger();
        QTRY_VERIFY(m_window->isVisible());
        QVERIFY(!m_window->isMinimized());
        QVERIFY(!m_window->TrayIcon->isVisible());
        QVERIFY(!m_window->RestoringFromTray);
    }
    // A single click on the icon leaves the window in the notification area.
    QVERIFY(Minimise());
    emit m_window->TrayIcon->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->TrayIcon->isVisible());

    QSignalSpy closing(m_window.get(), &frmMain::Closing);
    m_window->mnuPopExit->trigger();
    QCOMPARE(closing.count(), 1);
    QVERIFY(!m_window->TrayIcon->isVisible());
}

void tst_ui::trayLostWhileHiddenBringsTheWindowBack()
{
    bool trayThere = true;
    m_window->TrayAvailable = [&trayThere] { return trayThere; };
    m_window->tmrTrayWatch.setInterval(10);
    QVERIFY(Minimise());
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->tmrTrayWatch.isActive());
    trayThere = false; // the panel hosting the notification area has gone
    QTRY_VERIFY(m_window->isVisible());
    QVERIFY(!m_window->isMinimized());
    QVERIFY(!m_window->TrayIcon->isVisible());
    QVERIFY(!m_window->tmrTrayWatch.isActive());
}

void tst_ui::noTrayMinimisesNormally_data()
{
    QTest::addColumn<bool>("platformSays");
    QTest::newRow("the platform has none") << true;
    QTest::newRow("the area has gone") << false;
}

void tst_ui::noTrayMinimisesNormally()
{
    QFETCH(bool, platformSays);
    if (!platformSays)
        m_window->TrayAvailable = [] { return false; };
    else if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a notification area");
    QVERIFY(Minimise());
    QVERIFY(m_window->isMinimized());
    QVERIFY(m_window->isVisible());
    QVERIFY(!m_window->TrayIcon->isVisible());
}

void tst_ui::setupComesBackWithTheWindow()
{
    m_window->TrayAvailable = [] { return true; };
    frmSetup* dialog = OpenSetup();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    // The window manager minimises the dialog along with the window it belongs to.
    dialog->showMinimized();
    QVERIFY(Minimise());
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->TrayIcon->isVisible());

    emit m_window->TrayIcon->activated(QSystemTrayIcon::DoubleClick);
    QTRY_VERIFY(m_window->isVisible());
    // The dialog that still holds the window is back in front of it, and takes the keys.
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isMinimized());
    QTRY_COMPARE(QApplication::activeWindow(), dialog);
    QVERIFY(!m_window->TrayIcon->isVisible());
    QTest::keyClick(dialog, Qt::Key_Escape);
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
}

// Minimises the window and says whether it has handled that completely: the window hides into the
// notification area in a step of its own, queued behind the state change, and a call queued after
// that step runs after it. trayWhereAvailable checks the hiding right after this, so this cannot
// return too early unnoticed.
bool tst_ui::Minimise()
{
    m_window->showMinimized();
    bool handled = false;
    QMetaObject::invokeMethod(
        m_window.get(), [&handled] { handled = true; }, Qt::QueuedConnection);
    return QTest::qWaitFor([&handled] { return handled; });
}

void tst_ui::StartRelay(int clientPort, bool connectMode)
{
    m_rix = std::make_unique<QTcpServer>();
    QVERIFY(m_rix->listen(QHostAddress::LocalHost));
    QVERIFY(WriteFile(m_dir->path() + QStringLiteral("/iplog.ini"),
                      SettingsFileText(m_rix->serverPort(), clientPort, !connectMode)));
    m_events = std::make_unique<EventLog>(m_state, m_clock, m_errors);
    // The counters stamp link changes on the test clock.
    m_counters = std::make_unique<RelayCounters>(m_clock);
    m_counters->SetGreetingBytes(Login.size());
    m_dataLog = std::make_unique<DataLog>(m_state, m_clock, m_errors);
    m_hub = std::make_unique<RelayEventHub>();
    m_hub->Add(*m_counters);
    m_hub->Add(*m_events);
    m_hub->Add(*m_dataLog);
    m_hub->Add(*m_window);
    m_relay = std::make_unique<Relay>(m_state, *m_window, m_errors, *m_hub, m_systemClock);
    m_window->WatchLinks(*m_counters, *m_relay);
    m_applier = std::make_unique<SettingsApplier>(m_state, *m_relay, *m_window);
    RunStartup(m_state, *m_window, m_errors, *m_relay, m_dir->path());
    m_relay->tmrPoll.stop(); // the tests tick the poll themselves
}

QString tst_ui::Ports() const
{
    m_window->Refresh();
    return m_window->lblIPPorts->text();
}

void tst_ui::busyClientPortSaysNotListening_data()
{
    QTest::addColumn<bool>("bySetup");
    QTest::newRow("taken at start-up") << false;
    QTest::newRow("taken by a setup change") << true;
}

void tst_ui::busyClientPortSaysNotListening()
{
    QFETCH(bool, bySetup);
    QTcpServer holder; // another program on the client port
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    const int busy = holder.serverPort();
    StartRelay(bySetup ? FreePort() : busy);
    const QString summary = QStringLiteral("RIX IP Port:%1/Client IP Port:%2").arg(m_rix->serverPort()).arg(busy);
    if (bySetup) {
        QVERIFY(!Ports().contains(QStringLiteral("listening")));
        frmSetup* dialog = OpenSetup();
        dialog->txtClient->setText(QString::number(busy));
        BoxAnswers answers({QMessageBox::Ok});
        dialog->cmdOk->click();
        QCOMPARE(Titles(answers.Boxes), QStringList{QStringLiteral("IP Port Change")});
        QCOMPARE(answers.Boxes[0].Text,
                 QStringLiteral("You have entered a new client IP Port#\r\nThis will disconnect "
                                "any users currently attached\r\nPlease Confirm"));
    }
    QCOMPARE(Ports(), summary + QStringLiteral(" (not listening)"));
    m_relay->OnPollTick(); // still taken: tried again, silently
    QCOMPARE(m_errors.Reports, QStringList{QStringLiteral("Error opening sockets|Form Error|98")});

    holder.close();
    m_relay->OnPollTick();
    QVERIFY(m_relay->wscktClient(0).IsListening());
    QCOMPARE(Ports(), summary);
}

void tst_ui::clientPortThatIsNotAPort_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("connectMode");
    QTest::newRow("0, listen mode") << 0 << false;
    QTest::newRow("0, connect mode") << 0 << true;
    QTest::newRow("70000, listen mode") << 70000 << false;
}

void tst_ui::clientPortThatIsNotAPort()
{
    QFETCH(int, port);
    QFETCH(bool, connectMode);
    StartRelay(port, connectMode);
    for (int tick = 0; tick < 3; ++tick)
        m_relay->OnPollTick();
    QCOMPARE(m_errors.Reports,
             QStringList{QStringLiteral("Invalid Client IP Port #%1 in iplog.ini, not used (a port "
                                        "is a number between 1 and 65535)|IP Error|0")
                             .arg(port)});
    QVERIFY(!m_relay->wscktClient(0).IsListening());
    if (connectMode)
        QVERIFY(!m_relay->wscktClient(1).IsConnecting() && !m_relay->wscktClient(1).IsConnected());
    QCOMPARE(Ports(),
             QStringLiteral("RIX IP Port:%1/Client IP Port:%2 (not listening)").arg(m_rix->serverPort()).arg(port));
    RunShutdown(m_state, m_errors, *m_relay);
    const QByteArray written = ReadAll(m_dir->path() + QStringLiteral("/iplog.ini"));
    QVERIFY(written.contains(QStringLiteral("\r\nClient IP Port=%1\r\n").arg(port).toLatin1()));
}

frmSetup* tst_ui::OpenSetup(const QString& focus)
{
    if (!m_relay)
        StartRelay(FreePort());
    auto* dialog = new frmSetup(m_state, *m_applier, m_errors, m_window.get());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!focus.isEmpty())
        dialog->findChild<QWidget*>(focus)->setFocus();
    dialog->open();
    return dialog;
}

void tst_ui::linkLine_data()
{
    QTest::addColumn<bool>("rixListening");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<bool>("today");
    QTest::addColumn<QString>("line"); // %1 the RIX's port, %2 the client port
    QTest::newRow("up today") << true << false << true << "RIX 127.0.0.1:%1 up since 12:03:11; listening on 0.0.0.0:%2";
    QTest::newRow("up since an earlier day")
        << true << false << false << "RIX 127.0.0.1:%1 up since 2026-12-05 21:41:44; listening on 0.0.0.0:%2";
    QTest::newRow("unreachable") << false << false << true
                                 << "RIX 127.0.0.1:%1 unreachable since 12:03:11: Connection refused; listening on "
                                    "0.0.0.0:%2";
    QTest::newRow("client port taken")
        << true << true << true
        << "RIX 127.0.0.1:%1 not tried yet; not listening on 0.0.0.0:%2: Address already in use";
}

// One line under the ports says how the links stand, without changing the window's design.
void tst_ui::linkLine()
{
    QFETCH(bool, rixListening);
    QFETCH(bool, portTaken);
    QFETCH(bool, today);
    QFETCH(QString, line);
    m_clock.Moment
        = today ? QDateTime(QDate::currentDate(), QTime(12, 3, 11)) : QDateTime(QDate(2026, 12, 5), QTime(21, 41, 44));
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost));
    const quint16 clientPort = portTaken ? holder.serverPort() : FreePort();
    if (!portTaken)
        holder.close();
    StartRelay(clientPort);
    const quint16 rixPort = m_rix->serverPort();
    if (!rixListening)
        m_rix->close(); // the port refuses
    QTcpSocket client;
    if (!portTaken)
        client.connectToHost(QHostAddress::LocalHost, clientPort); // the relay connects to the RIX for it
    QTRY_COMPARE(m_window->lblLink->FullText(), line.arg(rixPort).arg(clientPort));
    QCOMPARE(m_window->height() - m_window->statusBar()->height(), Pixels(2670 + 375 * m_window->ShownClientLabels));
    VerifyLabelsKeepTheirPlace(*m_window);
}

// The notification-area icon is marked, and its tooltip says why, while the RIX is unreachable.
void tst_ui::trayMarksTroubleUntilTheRixIsBack()
{
    const auto image = [](const QIcon& icon) { return icon.pixmap(64, 64).toImage(); };
    const QImage plain = image(m_window->windowIcon());
    m_clock.Moment = QDateTime(QDate(2026, 12, 5), QTime(21, 41, 44));
    StartRelay(FreePort());
    const quint16 rixPort = m_rix->serverPort();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_state.ClientIPPort));
    QTRY_VERIFY(m_rix->hasPendingConnections());
    QTRY_VERIFY(m_window->lblLink->FullText().contains(QStringLiteral(" up since ")));
    QCOMPARE(m_window->TrayIcon->toolTip(), QStringLiteral("KEL Tolvane"));
    QCOMPARE(image(m_window->TrayIcon->icon()), plain);

    // The RIX goes away: its connection is reset and the poll finds its port refusing.
    while (QTcpSocket* accepted = m_rix->nextPendingConnection())
        accepted->abort();
    m_rix->close();
    m_relay->tmrPoll.start();
    const QString down
        = QStringLiteral("RIX 127.0.0.1:%1 unreachable since 2026-12-05 21:41:44: Connection refused").arg(rixPort);
    QTRY_COMPARE_WITH_TIMEOUT(m_window->TrayIcon->toolTip(), QStringLiteral("KEL Tolvane\n") + down, 10000);
    const QImage marked = image(m_window->TrayIcon->icon());
    QVERIFY(marked != plain);
    QCOMPARE(marked.pixelColor(47, 47), QColor(220, 0, 0));

    QVERIFY(m_rix->listen(QHostAddress::LocalHost, rixPort));
    QTRY_COMPARE_WITH_TIMEOUT(m_window->TrayIcon->toolTip(), QStringLiteral("KEL Tolvane"), 10000);
    QCOMPARE(image(m_window->TrayIcon->icon()), plain);
}

void tst_ui::connectModeLinkLine_data()
{
    QTest::addColumn<bool>("clientListening");
    QTest::addColumn<QString>("client"); // %1 the client's port
    QTest::newRow("client up") << true << "client 127.0.0.1:%1 up since 12:03:11";
    QTest::newRow("client refusing") << false << "client 127.0.0.1:%1 unreachable since 12:03:11: Connection refused";
}

// In connect mode the line's second half is the relay's connection to the client.
void tst_ui::connectModeLinkLine()
{
    QFETCH(bool, clientListening);
    QFETCH(QString, client);
    m_clock.Moment = QDateTime(QDate::currentDate(), QTime(12, 3, 11));
    QTcpServer clientSide;
    QVERIFY(clientSide.listen(QHostAddress::LocalHost));
    const quint16 clientPort = clientSide.serverPort();
    if (!clientListening)
        clientSide.close();
    StartRelay(clientPort, true);
    QTRY_COMPARE(m_window->lblLink->FullText().section(QStringLiteral("; "), 1), client.arg(clientPort));
    // A client the relay cannot reach is trouble, as a closed client port is in listen mode.
    const QString tip
        = clientListening ? QStringLiteral("KEL Tolvane") : QStringLiteral("KEL Tolvane\n") + client.arg(clientPort);
    QTRY_COMPARE(m_window->TrayIcon->toolTip(), tip);
}

// A time shown without its date is yesterday's once the day has changed: the line says so then.
void tst_ui::linkLineDatesYesterdayAfterMidnight()
{
    m_clock.Moment = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 58));
    m_window->Today = [] { return QDate(2026, 12, 5); };
    StartRelay(FreePort());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_state.ClientIPPort));
    const QString up = QStringLiteral("RIX 127.0.0.1:%1 up since ").arg(m_rix->serverPort());
    QTRY_COMPARE(m_window->lblLink->FullText().section(u';', 0, 0), up + QStringLiteral("23:59:58"));
    // Armed for a second after the next midnight, never later.
    QVERIFY(m_window->tmrNewDay.isActive());
    QVERIFY(m_window->tmrNewDay.remainingTime() <= 86'401'000);
    m_window->Today = [] { return QDate(2026, 12, 6); };
    m_window->tmrNewDay.start(0); // midnight comes
    QTRY_VERIFY(m_window->tmrNewDay.remainingTime() > 0); // and the timer is armed for the next one
    QTRY_COMPARE(m_window->lblLink->FullText().section(u';', 0, 0), up + QStringLiteral("2026-12-05 23:59:58"));
}

void tst_ui::msToNextDay_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<qint64>("ms");
    const QTimeZone utc = QTimeZone::utc();
    const QTimeZone santiago("America/Santiago"); // its clock went from 00:00 to 01:00 on 2023-09-03
    const QTimeZone berlin("Europe/Berlin");
    QVERIFY(santiago.isValid() && berlin.isValid());
    QTest::newRow("two seconds to midnight") << QDateTime(QDate(2026, 12, 5), QTime(23, 59, 58), utc) << qint64(3000);
    QTest::newRow("just after the second past midnight")
        << QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1), utc) << qint64(86'400'000);
    QTest::newRow("within the day's first second: the next day's") // shown now, it has today's date
        << QDateTime(QDate(2026, 12, 6), QTime(0, 0, 0, 500), utc) << qint64(86'400'500);
    QTest::newRow("the next day starts at 01:00")
        << QDateTime(QDate(2023, 9, 2), QTime(23, 0), santiago) << qint64(3'601'000);
    QTest::newRow("a 25-hour day") << QDateTime(QDate(2026, 10, 25), QTime(0, 0, 1), berlin) << qint64(90'000'000);
}

// The link line is shown again a second into the next day, wherever and whenever that is.
void tst_ui::msToNextDay()
{
    QFETCH(QDateTime, now);
    QFETCH(qint64, ms);
    QCOMPARE(MsToNextDay(now), ms);
}

// File > Connections...: a row per client with what it sent and was sent, totals underneath, sortable
// and copyable, refreshed while shown.
void tst_ui::connectionsTable()
{
    m_window->Today = [] { return QDate(2026, 12, 6); }; // the clients came the day before
    StartRelay(FreePort());
    QVERIFY(m_window->mnuConnections->isEnabled());
    m_window->mnuConnections->trigger();
    frmConnections* table = m_window->Connections;
    QVERIFY(table && table->isVisible() && !table->isModal());
    QCOMPARE(table->windowTitle(), QStringLiteral("Connections"));
    QVERIFY(table->tmrRefresh.isActive());
    QCOMPARE(table->tmrRefresh.interval(), 1000);
    QCOMPARE(table->Model->rowCount(), 0);

    // Two clients, each with its own RIX connection.
    QTcpSocket first, second;
    QList<QTcpSocket*> rixSide;
    for (QTcpSocket* client : {&first, &second}) {
        client->connectToHost(QHostAddress::LocalHost, quint16(m_state.ClientIPPort));
        QVERIFY(ReadExactly(*client, Login.size()) == Login);
        QTRY_VERIFY(m_rix->hasPendingConnections());
        rixSide.append(m_rix->nextPendingConnection());
    }
    m_clock.Advance(5);
    first.write("one\r\n");
    QVERIFY(ReadExactly(*rixSide[0], 5) == "one\r\n");
    second.write("second client\r\n");
    QVERIFY(ReadExactly(*rixSide[1], 15) == "second client\r\n");
    rixSide[1]->write("reply\r\n");
    QVERIFY(ReadExactly(second, 7) == "reply\r\n");

    const QString since = QStringLiteral("2026-12-05 21:41:44");
    const QString later = QStringLiteral("2026-12-05 21:41:49");
    const QStringList rowOne{"1",  QStringLiteral("127.0.0.1:%1").arg(first.localPort()), since, "5", "17", "1", "0",
                             later};
    const QStringList rowTwo{"2",  QStringLiteral("127.0.0.1:%1").arg(second.localPort()), since, "15", "24", "1", "1",
                             later};
    const auto rows = [table] {
        QList<QStringList> all;
        for (int row = 0; row < table->Model->rowCount(); ++row) {
            QStringList cells;
            for (int column = 0; column < ConnectionsModel::ColumnCount; ++column)
                cells.append(table->Model->index(row, column).data().toString());
            all.append(cells);
        }
        return all;
    };
    QTRY_COMPARE(rows(), (QList<QStringList>{rowOne, rowTwo}));
    QCOMPARE(
        table->lblTotals->text(),
        QStringLiteral("2 clients connected. From clients: 20 bytes in 2 bursts. To clients: 41 bytes in 1 burst."));

    // Sorted by what the clients sent, most first: the header's indicator and the rows agree.
    table->Table->sortByColumn(ConnectionsModel::FromClientBytesColumn, Qt::DescendingOrder);
    QCOMPARE(rows(), (QList<QStringList>{rowTwo, rowOne}));
    // Copied as text: nothing selected copies every row, under the column titles, in the order shown.
    const QString titles = QStringLiteral("Slot\tClient\tConnected since\tBytes from client\tBytes to client\t"
                                          "Bursts from client\tBursts to client\tLast activity\n");
    table->Table->setFocus();
    table->mnuCopy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), titles + rowTwo.join(u'\t') + u'\n' + rowOne.join(u'\t') + u'\n');
    table->Table->selectRow(1);
    QTest::keySequence(table->Table, QKeySequence::Copy);
    QCOMPARE(QGuiApplication::clipboard()->text(), titles + rowOne.join(u'\t') + u'\n');

    // The second client leaves: its row goes at the next refresh, and the totals with it.
    second.disconnectFromHost();
    QTRY_COMPARE(rows(), (QList<QStringList>{rowOne}));
    QCOMPARE(table->lblTotals->text(),
             QStringLiteral("1 client connected. From clients: 5 bytes in 1 burst. To clients: 17 bytes in 0 bursts."));
    // The selection stayed with the first client.
    QCOMPARE(table->Table->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(table->Table->selectionModel()->selectedRows().first().row(), 0);

    table->close();
    QVERIFY(!table->tmrRefresh.isActive());
    m_window->mnuConnections->trigger(); // opens again, the same table
    QCOMPARE(m_window->Connections, table);
    QTRY_COMPARE(rows(), (QList<QStringList>{rowOne}));
    // The table goes with the window.
    m_window->close();
    QVERIFY(!table->isVisible());
    QVERIFY(!table->tmrRefresh.isActive());
}

void tst_ui::connectionsFollowTheirClients_data()
{
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("descending");
    QTest::addColumn<bool>("massDeparture"); // the first 40 % leave too
    // QAbstractItemModelTester looks at every row at every change: 10,000 clients go without it.
    for (int clients : {10'000, 400}) {
        const char* size = clients == 400 ? ", 400 clients, rules checked" : ", 10,000 clients";
        QTest::addRow("by slot%s", size) << clients << int(ConnectionsModel::SlotColumn) << false << false;
        QTest::addRow("by client, last first%s", size)
            << clients << int(ConnectionsModel::ClientColumn) << true << false;
        QTest::addRow("by bytes from the client%s", size)
            << clients << int(ConnectionsModel::FromClientBytesColumn) << false << false;
        QTest::addRow("by last activity, latest first%s", size)
            << clients << int(ConnectionsModel::LastActivityColumn) << true << false;
        QTest::addRow("by bytes, most first, 40 %% more leave%s", size)
            << clients << int(ConnectionsModel::FromClientBytesColumn) << true << true;
    }
}

// With clients coming and going between refreshes, every row is a present client, in the order asked
// for, and the selected and current client stay so; the model keeps to Qt's rules throughout.
void tst_ui::connectionsFollowTheirClients()
{
    QFETCH(int, clients);
    QFETCH(int, column);
    QFETCH(bool, descending);
    QFETCH(bool, massDeparture);
    RelayCounters counters(m_clock);
    frmConnections table(counters, m_window->Today, m_window.get());
    std::optional<QAbstractItemModelTester> tester;
    if (clients < 1000)
        tester.emplace(table.Model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    table.show();
    table.Table->sortByColumn(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    const auto address = [](int slot) { return QStringLiteral("10.0.%1.%2").arg(slot / 250).arg(slot % 250); };
    const auto sendBytes = [&counters](int slot, int bytes) {
        counters.BurstRelayed(RelayEvents::From::Client, slot, QByteArray(bytes, 'x'), {});
    };
    for (int slot = 1; slot <= clients; ++slot) {
        counters.ClientConnected(slot, address(slot), quint16(40'000 + slot), RelayEvents::Arrival::Accepted);
        sendBytes(slot, slot % 97);
        m_clock.Monotonic += 1000 * (slot % 3);
    }
    table.Refresh();
    QCOMPARE(table.Model->rowCount(), clients);
    const auto rowOf = [&table](int slot) {
        for (int row = 0; row < table.Model->rowCount(); ++row) {
            if (table.Model->index(row, ConnectionsModel::SlotColumn).data().toInt() == slot)
                return row;
        }
        return -1;
    };
    int chosen = clients * 7 / 9; // one of those who stay (below)
    while (chosen % 10 == 0 || chosen % 7 == 3)
        ++chosen;
    table.Table->selectRow(rowOf(chosen));
    QCOMPARE(table.Table->currentIndex().row(), rowOf(chosen));

    // A fifth of the clients leave, every tenth among them; a new client takes some of their slots;
    // the chosen client and some others send more.
    for (int slot = 10; slot <= clients; slot += 10)
        counters.ClientLeft(slot, address(slot), RelayEvents::Ending::ClientClosed);
    for (int slot = 3; slot <= clients; slot += 7)
        counters.ClientLeft(slot, address(slot), RelayEvents::Ending::Reset);
    for (int slot = 1; massDeparture && slot <= clients * 2 / 5; ++slot)
        counters.ClientLeft(slot, address(slot), RelayEvents::Ending::SettingChange);
    for (int slot = 20; slot <= clients * 3 / 5; slot += 20)
        counters.ClientConnected(slot, QStringLiteral("192.168.1.%1").arg(slot % 200), 5000,
                                 RelayEvents::Arrival::Accepted);
    m_clock.Advance(60);
    for (int slot = chosen; slot <= clients; slot += 11)
        sendBytes(slot, 200);
    table.Refresh();

    int present = 0;
    for (const RelayCounters::Session& session : counters.Sessions())
        present += session.Present ? 1 : 0;
    QCOMPARE(table.Model->rowCount(), present);
    for (int row = 0; row < table.Model->rowCount(); ++row) {
        const int slot = table.Model->index(row, ConnectionsModel::SlotColumn).data().toInt();
        const RelayCounters::Session& session = counters.Sessions()[size_t(slot)];
        QVERIFY(session.Present);
        QCOMPARE(table.Model->index(row, ConnectionsModel::ClientColumn).data().toString(),
                 QStringLiteral("%1:%2").arg(session.Address).arg(session.Port));
        QCOMPARE(table.Model->index(row, ConnectionsModel::FromClientBytesColumn).data().toLongLong(),
                 session.FromClientBytes);
    }
    // In order: each row against the next, by the column's value, ties by slot.
    const auto key = [&](int row) {
        const int slot = table.Model->index(row, ConnectionsModel::SlotColumn).data().toInt();
        const RelayCounters::Session& session = counters.Sessions()[size_t(slot)];
        switch (column) {
        case ConnectionsModel::ClientColumn: {
            const QStringList parts = session.Address.split(u'.');
            return (parts[0].toLongLong() << 24 | parts[1].toLongLong() << 16 | parts[2].toLongLong() << 8
                    | parts[3].toLongLong())
                * 65536
                + session.Port;
        }
        case ConnectionsModel::FromClientBytesColumn:
            return session.FromClientBytes;
        case ConnectionsModel::LastActivityColumn:
            return session.LastActivityMs;
        default:
            return qint64(slot);
        }
    };
    for (int row = 0; row + 1 < table.Model->rowCount(); ++row) {
        const qint64 a = key(row), b = key(row + 1);
        QVERIFY2(descending ? a >= b : a <= b, qPrintable(QString::number(row)));
    }
    const QModelIndexList selected = table.Table->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), rowOf(chosen));
    QCOMPARE(table.Table->currentIndex().row(), rowOf(chosen));
}

// Closed, the table holds no row and nothing runs for it, however many clients there are.
void tst_ui::connectionsCostNothingWhileClosed()
{
    RelayCounters counters(m_clock);
    for (int slot = 1; slot <= 10'000; ++slot)
        counters.ClientConnected(slot, QStringLiteral("10.0.0.1"), quint16(slot), RelayEvents::Arrival::Accepted);
    frmConnections table(counters, m_window->Today, m_window.get());
    QCOMPARE(table.Model->rowCount(), 0);
    QVERIFY(!table.tmrRefresh.isActive());
    table.show();
    QCOMPARE(table.Model->rowCount(), 10'000);
    QCOMPARE(table.lblTotals->text(),
             QStringLiteral("10000 clients connected. From clients: 0 bytes in 0 bursts. To clients: 0 bytes in 0 "
                            "bursts."));
    table.hide();
    QCOMPARE(table.Model->rowCount(), 0);
    QVERIFY(!table.tmrRefresh.isActive());
}

// A quiet client's last activity is its connection's second, whatever the moment of the refresh; then
// it is as far after that as the steady clock says.
void tst_ui::lastActivityCountsFromTheConnection()
{
    m_clock.Moment = QDateTime(QDate(2026, 12, 5), QTime(21, 41, 44, 700));
    m_window->Today = [] { return QDate(2026, 12, 5); };
    RelayCounters counters(m_clock);
    counters.ClientConnected(1, QStringLiteral("10.0.0.1"), 5000, RelayEvents::Arrival::Accepted);
    frmConnections table(counters, m_window->Today, m_window.get());
    table.show();
    const auto lastActivity = [&table] {
        table.Refresh();
        return table.Model->index(0, ConnectionsModel::LastActivityColumn).data().toString();
    };
    for (int step = 0; step < 4; ++step) {
        QCOMPARE(lastActivity(), QStringLiteral("21:41:44"));
        m_clock.Moment = m_clock.Moment.addMSecs(400);
        m_clock.Monotonic += 400;
    }
    m_clock.Moment = m_clock.Moment.addMSecs(1500);
    m_clock.Monotonic += 1500;
    counters.BurstRelayed(RelayEvents::From::Rix, 1, "x", {}); // 3.1 s after the connection
    QCOMPARE(lastActivity(), QStringLiteral("21:41:47"));
    QCOMPARE(table.Model->index(0, ConnectionsModel::SinceColumn).data().toString(), QStringLiteral("21:41:44"));
}

// The status bar says whether the data log is on, and how large its file is.
void tst_ui::dataLogState()
{
    StartRelay(FreePort());
    QCOMPARE(m_window->lblDataLog->FullText(), QStringLiteral("Data log off"));
    QVERIFY(m_window->tmrDataLog.isActive());
    m_state.LogData = true;
    QTRY_COMPARE(m_window->lblDataLog->FullText(), QStringLiteral("Data log on: DataLog.log not written yet"));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_state.ClientIPPort));
    QVERIFY(ReadExactly(client, Login.size()) == Login);
    client.write(QByteArray(3000, 'a'));
    const QString path = m_dir->path() + QStringLiteral("/DataLog.log");
    QTRY_VERIFY(QFileInfo(path).size() > 3000);
    QTRY_COMPARE(
        m_window->lblDataLog->FullText(),
        QStringLiteral("Data log on: DataLog.log, %1").arg(QLocale::c().formattedDataSize(QFileInfo(path).size())));
    QVERIFY(m_window->lblDataLog->FullText().endsWith(QStringLiteral(" KiB")));
    // In the status bar, its text starts where the labels' does.
    QCOMPARE(m_window->lblDataLog->mapTo(m_window.get(), m_window->lblDataLog->contentsRect().topLeft()).x()
                 + m_window->lblDataLog->indent(),
             m_window->lblLink->x());
    VerifyLabelsKeepTheirPlace(*m_window);

    // Hidden, the window stops looking.
    m_window->hide();
    QVERIFY(!m_window->tmrDataLog.isActive());
    m_state.LogData = false;
    m_window->show();
    QCOMPARE(m_window->lblDataLog->FullText(), QStringLiteral("Data log off"));
}

void tst_ui::setupOpensWithTheSettings()
{
    frmSetup* dialog = OpenSetup();
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Setup"));
    QCOMPARE(dialog->txtClient->text(), QString::number(m_state.ClientIPPort));
    QCOMPARE(dialog->txtServerIP->text(), QString::number(m_rix->serverPort()));
    QCOMPARE(dialog->txtClientIPAddr->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(dialog->txtRIXIPAddr->text(), QStringLiteral("127.0.0.1"));
    QVERIFY(dialog->OptMode[0]->isChecked());
    QVERIFY(!dialog->chkLogData->isChecked());
    QCOMPARE(dialog->lblRIXIP->text(), QStringLiteral("KEL RIX  IP Address"));
    QCOMPARE(dialog->OptMode[0]->toolTip(), QStringLiteral("Listen for Incomming Connection"));
    // Keyboard focus order.
    dialog->txtClient->setFocus();
    QWidget* order[] = {dialog->txtServerIP, dialog->cmdOk,      dialog->cmdCancel,       dialog->chkLogData,
                        dialog->OptMode[0],  dialog->OptMode[1], dialog->txtClientIPAddr, dialog->txtRIXIPAddr};
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
    dialog->chkLogData->setChecked(true);
    QSignalSpy accepted(dialog, &QDialog::accepted);
    BoxAnswers answers;
    dialog->cmdOk->click();
    QCOMPARE(answers.Boxes.size(), 0);
    QCOMPARE(accepted.count(), 1);
    QVERIFY(m_state.LogData);
    QCOMPARE(Ports(),
             QStringLiteral("RIX IP Port:%1/Client IP Port:%2").arg(m_rix->serverPort()).arg(m_state.ClientIPPort));
}

void tst_ui::invalidClientPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << "0";
    QTest::newRow("too large") << "65536";
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
    QCOMPARE(answers.Boxes[0].Text,
             QStringLiteral("Invalid Client IP Port #. Please reenter a number between 1 and 65535"));
    QCOMPARE(answers.Boxes[0].Icon, QMessageBox::NoIcon);
    QCOMPARE(answers.Boxes[0].Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->txtClient->text(), text);
}

void tst_ui::addressBox_data()
{
    QTest::addColumn<bool>("rix");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored"); // empty: refused
    // The address check itself is tested with the core; here, what the dialog does with its answer.
    QTest::newRow("client, refused") << false << "1.2.3."
                                     << "";
    QTest::newRow("client, clamped") << false << "300.1.1.1"
                                     << "255.1.1.1";
    QTest::newRow("client, same address, other text") << false << "127.000.0.1"
                                                      << "127.0.0.1";
    QTest::newRow("RIX, refused") << true << "1.2.3"
                                  << "";
}

void tst_ui::addressBox()
{
    QFETCH(bool, rix);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    frmSetup* dialog = OpenSetup();
    QLineEdit* box = rix ? dialog->txtRIXIPAddr : dialog->txtClientIPAddr;
    const QString& held = rix ? m_state.RixIPAddress : m_state.ClientIPAddress;
    box->setText(typed);
    BoxAnswers answers({QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(answers.Boxes.size(), 1);
    if (stored.isEmpty()) {
        QCOMPARE(answers.Boxes[0].Title, QStringLiteral("Port Error"));
        QCOMPARE(answers.Boxes[0].Text,
                 rix ? QStringLiteral("Invalid RIX IP Address. Please reenter")
                     : QStringLiteral("Invalid Client IP Address. Please reenter"));
        QCOMPARE(box->text(), QStringLiteral("127.0.0.1")); // the stored address is put back
        QCOMPARE(held, QStringLiteral("127.0.0.1"));
        QVERIFY(dialog->isVisible());
    } else {
        QCOMPARE(answers.Boxes[0].Title, QStringLiteral("IP Address Change"));
        QCOMPARE(held, stored);
    }
}

void tst_ui::enterMeansOk_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("tabs");
    QTest::newRow("in the first box") << "" << 0;
    QTest::newRow("past Cancel") << "" << 4;
    // Qt would make the first button after the focus the default: here Cancel.
    QTest::newRow("opened with the focus on OK, past Cancel") << "cmdOk" << 2;
}

// Enter in any box is OK, wherever the keyboard focus has been.
void tst_ui::enterMeansOk()
{
    QFETCH(QString, focus);
    QFETCH(int, tabs);
    frmSetup* dialog = OpenSetup(focus);
    ActivateAsTheWindowManagerWould(dialog);
    for (int tab = 0; tab < tabs; ++tab)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), tabs == 0 ? static_cast<QWidget*>(dialog->txtClient) : dialog->chkLogData);
    QSignalSpy accepted(dialog, &QDialog::accepted);
    QSignalSpy rejected(dialog, &QDialog::rejected);
    BoxAnswers answers;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(rejected.count(), 0);
    QCOMPARE(answers.Boxes.size(), 0);
}

void tst_ui::windowHasTheFocusWhenSetupCloses_data()
{
    QTest::addColumn<bool>("change");
    QTest::addColumn<int>("key");
    QTest::newRow("confirmed change") << true << int(Qt::Key_Return);
    QTest::newRow("nothing changed") << false << int(Qt::Key_Return);
    QTest::newRow("cancelled") << true << int(Qt::Key_Escape);
}

// Whatever closes the dialog, the keys go to the window again.
void tst_ui::windowHasTheFocusWhenSetupCloses()
{
    QFETCH(bool, change);
    QFETCH(int, key);
    frmSetup* dialog = OpenSetup();
    ActivateAsTheWindowManagerWould(dialog);
    if (change)
        dialog->txtClient->setText(QString::number(FreePort()));
    BoxAnswers answers({QMessageBox::Ok});
    QTest::keyClick(dialog->txtClient, Qt::Key(key));
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(answers.Boxes.size(), change && key == Qt::Key_Return ? 1 : 0);
    QTRY_COMPARE(QApplication::activeWindow(), m_window.get());
}

void tst_ui::stoppedClientSideChangesNothing_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QStringList>("reports");
    QTest::newRow("disconnect warning cancelled")
        << "next" << QStringList{QStringLiteral("IP Port Change")} << QStringList{};
    QTest::newRow("port past any number")
        << "99999999999" << QStringList{} << QStringList{QStringLiteral("Invalid IP Port Error|IP Error|6")};
}

// The mode was switched, then the client port box stopped the OK: the client side runs as it did, with
// its client, and the settings say so too.
void tst_ui::stoppedClientSideChangesNothing()
{
    QFETCH(QString, portText);
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, reports);
    frmSetup* dialog = OpenSetup();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_relay->wscktClient(0).LocalPort()));
    QTRY_COMPARE(m_state.ConnectedClients, qint16(1));
    const int port = m_state.ClientIPPort;
    dialog->OptMode[1]->setChecked(true);
    dialog->txtClient->setText(portText == QLatin1String("next") ? QString::number(port + 1) : portText);
    BoxAnswers answers({QMessageBox::Cancel});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), boxes);
    QCOMPARE(m_errors.Reports, reports);
    QCOMPARE(m_state.OperationMode, Constants::ListenMode);
    QCOMPARE(m_state.ClientIPPort, port);
    QVERIFY(m_relay->wscktClient(0).IsListening());
    QCOMPARE(m_state.ConnectedClients, qint16(1));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    QVERIFY(dialog->isVisible());
}

void tst_ui::invalidRixPortAfterAClientChange()
{
    frmSetup* dialog = OpenSetup();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_relay->wscktClient(0).LocalPort()));
    QTRY_COMPARE(m_state.ConnectedClients, qint16(1));
    QSignalSpy dropped(&client, &QTcpSocket::disconnected);

    const int newPort = FreePort();
    dialog->txtClient->setText(QString::number(newPort));
    dialog->txtServerIP->setText(QStringLiteral("0"));
    BoxAnswers answers({QMessageBox::Ok, QMessageBox::Ok});
    // The client side follows its new port before the RIX port is checked.
    bool movedBeforeTheRixPort = false;
    answers.WhileOpen = [&](const QMessageBox& box) {
        if (box.windowTitle() == QLatin1String("Port Error"))
            movedBeforeTheRixPort = IsListening(quint16(newPort));
    };
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), (QStringList{QStringLiteral("IP Port Change"), QStringLiteral("Port Error")}));
    QVERIFY(movedBeforeTheRixPort);
    QCOMPARE(answers.Boxes[1].Text,
             QStringLiteral("Invalid Server Module IP Port #. Please reenter a number between 1 and 65535"));
    QTRY_COMPARE(dropped.count(), 1);
    QCOMPARE(m_state.ConnectedClients, qint16(0));
    QTRY_COMPARE(m_window->lblConnections->text(), QStringLiteral("Client Connections: 0000"));
    QCOMPARE(m_state.ClientIPPort, newPort);
    QVERIFY(dialog->isVisible());
}

void tst_ui::changedRixSideReconnectsAtOnce_data()
{
    QTest::addColumn<bool>("newPort");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("RIX address") << false << "IP Address Change"
                                 << "You have entered a new RIX IP Address\r\nThis will disconnect any users "
                                    "currently attached\r\nPlease Confirm";
    // Only two lines: a new RIX port disconnects no client.
    QTest::newRow("RIX port") << true << "IP Port Change"
                              << "You have entered a new RIX IP Port#\r\nPlease Confirm";
}

void tst_ui::changedRixSideReconnectsAtOnce()
{
    QFETCH(bool, newPort);
    QFETCH(QString, title);
    QFETCH(QString, text);
    frmSetup* dialog = OpenSetup();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(m_relay->wscktClient(0).LocalPort()));
    QTRY_VERIFY(m_relay->wsktServer.Count() > 1 && m_relay->wsktServer(1).IsConnected());

    // A second RIX: on another port, or on another loopback address with the same port.
    QTcpServer second;
    if (newPort) {
        QVERIFY(second.listen(QHostAddress::LocalHost));
        dialog->txtServerIP->setText(QString::number(second.serverPort()));
    } else {
        QVERIFY(second.listen(QHostAddress(QStringLiteral("127.0.0.2")), m_rix->serverPort()));
        dialog->txtRIXIPAddr->setText(QStringLiteral("127.0.0.2"));
    }
    BoxAnswers answers({QMessageBox::Ok});
    dialog->cmdOk->click();
    QCOMPARE(Titles(answers.Boxes), QStringList{title});
    QCOMPARE(answers.Boxes[0].Text, text);
    QCOMPARE(m_state.RixIPAddress, newPort ? QStringLiteral("127.0.0.1") : QStringLiteral("127.0.0.2"));
    QCOMPARE(m_state.RixIPPort, int(second.serverPort()));
    QTRY_VERIFY(second.hasPendingConnections()); // without waiting for the poll
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void tst_ui::cancelAppliesNothing()
{
    frmSetup* dialog = OpenSetup();
    const int port = m_state.ClientIPPort;
    const QByteArray before = ReadAll(m_dir->path() + QStringLiteral("/iplog.ini"));
    dialog->txtClient->setText(QString::number(port + 1));
    dialog->OptMode[1]->setChecked(true);
    dialog->chkLogData->setChecked(true);
    BoxAnswers answers;
    dialog->cmdCancel->click();
    QCOMPARE(answers.Boxes.size(), 0);
    QCOMPARE(m_state.ClientIPPort, port);
    QCOMPARE(m_state.OperationMode, Constants::ListenMode);
    QVERIFY(!m_state.LogData);
    QCOMPARE(ReadAll(m_dir->path() + QStringLiteral("/iplog.ini")), before); // the dialog never writes it
}

QTEST_MAIN(tst_ui)
#include "tst_ui.moc"
