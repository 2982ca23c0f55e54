#include "ui/frmMain.h"

#include "app/ServiceStatus.h"
#include "core/Constants.h"
#include "core/RelayCounters.h"
#include "core/RuntimeState.h"
#include "files/DataLog.h"
#include "net/Relay.h"
#include "ui/ClientLinesView.h"
#include "ui/OneLineLabel.h"
#include "ui/ShownTime.h"
#include "ui/frmConnections.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLayout>
#include <QLocale>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QtMath>

namespace {

// The design, in twips (1/1440 inch).
constexpr int ClientAreaWidth = 4680;
constexpr int LabelLeft = ClientLinesView::Left;
constexpr int FirstLineTop = ClientLinesView::FirstLineTop;
constexpr int LineSpacing = ClientLinesView::LineSpacing;
constexpr int RightMargin = 120;
constexpr int LowerLabelStep = 480;
constexpr int FixedHeight = 2670; // 1800 + 750 + 120: the window with no client line
constexpr int FrameMs = 16;
constexpr int TrayIconPixels = 64;

// "RIX 10.0.0.5:1200 up since 12:03:11", or unreachable since then, and why.
QString LinkText(const QString& name, const RelayCounters::LinkCounters& link, const QDate& today)
{
    if (!link.Known)
        return name + QStringLiteral(" not tried yet");
    if (link.Up)
        return name + QStringLiteral(" up since ") + ShownTime(link.Since, today);
    const QString down = name + QStringLiteral(" unreachable since ") + ShownTime(link.Since, today);
    return link.LastFailure.isEmpty() ? down : down + QStringLiteral(": ") + link.LastFailure;
}

// The program's icon with a red mark in its lower right corner: something needs looking at.
QIcon TroubleIcon(const QIcon& plain)
{
    QPixmap pixmap = plain.pixmap(TrayIconPixels, TrayIconPixels);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, TrayIconPixels / 16));
    painter.setBrush(QColor(220, 0, 0));
    painter.drawEllipse(QRect(TrayIconPixels / 2, TrayIconPixels / 2, TrayIconPixels / 2 - 2, TrayIconPixels / 2 - 2));
    painter.end();
    return QIcon(pixmap);
}

} // namespace

frmMain::frmMain(const RuntimeState& state, QWidget* parent)
    : QMainWindow(parent)
    , TrayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
    , Today([] { return QDate::currentDate(); })
    , m_state(state)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tolvane"));
    setWindowIcon(QIcon(QStringLiteral(":/tolvane/tolvane.svg")));

    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSetup = mnuFile->addAction(QStringLiteral("&Setup"));
    mnuSetup->setObjectName(QStringLiteral("mnuSetup"));
    mnuConnections = mnuFile->addAction(QStringLiteral("&Connections..."));
    mnuConnections->setObjectName(QStringLiteral("mnuConnections"));
    mnuConnections->setEnabled(false); // until there are connections to show
    connect(mnuConnections, &QAction::triggered, this, &frmMain::ShowConnections);
    mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuExit, &QAction::triggered, this, &QWidget::close);

    // Not in the menu bar: the notification-area icon's popup.
    mnuSysTray = new QMenu(QStringLiteral("&SysTray"), this);
    mnuSysTray->setObjectName(QStringLiteral("mnuSysTray"));
    mnuPopRestore = mnuSysTray->addAction(QStringLiteral("&Restore"));
    mnuPopRestore->setObjectName(QStringLiteral("mnuPopRestore"));
    mnuSysTray->addSeparator()->setObjectName(QStringLiteral("mnuSep"));
    mnuPopExit = mnuSysTray->addAction(QStringLiteral("E&xit"));
    mnuPopExit->setObjectName(QStringLiteral("mnuPopExit"));
    connect(mnuPopRestore, &QAction::triggered, this, &frmMain::RestoreFromTray);
    connect(mnuPopExit, &QAction::triggered, this, &frmMain::ExitFromTray);

    m_troubleIcon = TroubleIcon(windowIcon());
    TrayIcon = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setToolTip(QStringLiteral("KEL Tolvane"));
    TrayIcon->setContextMenu(mnuSysTray);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            RestoreFromTray();
    });

    auto* central = new QWidget(this);
    setCentralWidget(central);
    // The client lines scroll when there are more than the screen can hold.
    m_linesArea = new QScrollArea(central);
    m_linesArea->setObjectName(QStringLiteral("ClientLines"));
    m_linesArea->setFrameShape(QFrame::NoFrame);
    m_linesArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    LblClient = new ClientLinesView([this](int twips) { return Pixels(twips); });
    m_linesArea->setWidget(LblClient);
    m_linesArea->setWidgetResizable(false);
    lblLastClientMessage = new OneLineLabel(QStringLiteral("lblLastClientMessage"), {}, central);
    lblLastRIXMessage = new OneLineLabel(QStringLiteral("lblLastRIXMessage"), {}, central);
    lblConnections
        = new OneLineLabel(QStringLiteral("lblConnections"), QStringLiteral("Client Connections = 000"), central);
    m_portSummary = QStringLiteral("Server IP");
    lblIPPorts = new OneLineLabel(QStringLiteral("lblIPPorts"), m_portSummary, central);
    lblLink = new OneLineLabel(QStringLiteral("lblLink"), {}, central);
    statusBar()->setSizeGripEnabled(false);
    lblDataLog = new OneLineLabel(QStringLiteral("lblDataLog"), {}, statusBar());
    lblDataLog->setAlignment(Qt::AlignLeft | Qt::AlignVCenter); // its indent then adds no height
    statusBar()->addWidget(lblDataLog, 1);
    ShowDataLog();

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(FrameMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &frmMain::Refresh);

    tmrDataLog.setInterval(DataLogMs);
    connect(&tmrDataLog, &QTimer::timeout, this, &frmMain::ShowDataLog);
    tmrNewDay.setSingleShot(true);
    connect(&tmrNewDay, &QTimer::timeout, this, &frmMain::ShowLinks);

    tmrTrayWatch.setInterval(TrayWatchMs);
    connect(&tmrTrayWatch, &QTimer::timeout, this, [this] {
        if (!TrayAvailable())
            RestoreFromTray();
    });

    Layout();
}

frmMain::~frmMain() = default;

int frmMain::Pixels(int twips) const
{
    const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
    const qreal dpi = display ? display->logicalDotsPerInchY() : 96.0;
    return qRound(twips * dpi / 1440.0);
}

int frmMain::AvailableHeight() const
{
    const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!display)
        return QWIDGETSIZE_MAX;
    // The frame (title bar, borders) is known once the window manager has framed the window; until
    // then the style's title bar height stands in for it.
    const int frame = frameGeometry().height() - height();
    return display->availableGeometry().height()
        - (frame > 0 ? frame : style()->pixelMetric(QStyle::PM_TitleBarHeight));
}

void frmMain::Layout()
{
    // Room for the lines, then the four lower labels below the last line, each 480 twips down.
    const int lines = int(LblClient->Lines().size());
    const int linesHeight = Pixels(FirstLineTop + LineSpacing * lines);
    // The status bar comes under the design.
    int height = Pixels(FixedHeight + LineSpacing * lines) + statusBar()->sizeHint().height();
    int linesShown = linesHeight;
    // More lines than the screen holds: the window, frame included, stops at the screen and the lines
    // scroll.
    const int overflow = height - AvailableHeight();
    if (overflow > 0) {
        // The view ends where the next line would start, as the lines do without scrolling: the last
        // line in view is whole and keeps its gap above the count.
        const int room = linesShown - overflow;
        int inView = qBound(0, (room - Pixels(FirstLineTop)) / qMax(1, Pixels(LineSpacing)), lines);
        while (inView > 0 && Pixels(ClientLinesView::LineTopTwips(inView)) > room)
            --inView;
        while (inView < lines && Pixels(ClientLinesView::LineTopTwips(inView + 1)) <= room)
            ++inView;
        linesShown = inView > 0 ? Pixels(ClientLinesView::LineTopTwips(inView)) : qMax(0, room);
        height -= linesHeight - linesShown;
    }
    // The port summary is never cut short ("(not listening)" must be seen): the window widens for it.
    const int labelLeft = Pixels(LabelLeft);
    const int portsWidth = qCeil(QFontMetricsF(lblIPPorts->font()).horizontalAdvance(lblIPPorts->FullText()));
    const int width = qMax(Pixels(ClientAreaWidth), labelLeft + portsWidth + Pixels(RightMargin));

    m_linesArea->setGeometry(0, 0, width, linesShown);
    m_linesArea->verticalScrollBar()->setSingleStep(Pixels(LineSpacing));
    LblClient->resize(width - (overflow > 0 ? m_linesArea->verticalScrollBar()->sizeHint().width() : 0), linesHeight);
    // The lower labels span the window, so that five-digit ports and longer addresses fit.
    const int labelWidth = width - labelLeft - Pixels(RightMargin);
    const int step = Pixels(LowerLabelStep);
    lblConnections->setGeometry(labelLeft, linesShown, labelWidth, Pixels(240));
    lblLastClientMessage->setGeometry(labelLeft, linesShown + step, labelWidth, Pixels(375));
    lblLastRIXMessage->setGeometry(labelLeft, linesShown + 2 * step, labelWidth, Pixels(375));
    lblIPPorts->setGeometry(labelLeft, linesShown + 3 * step, labelWidth, Pixels(240));
    // In the room the design leaves below the ports: the window keeps its size.
    lblLink->setGeometry(labelLeft, linesShown + 4 * step, labelWidth, Pixels(240));
    // The status bar's text starts where the labels' does: its layout puts the label a little way in,
    // and the indent makes up the rest.
    statusBar()->layout()->activate();
    lblDataLog->setIndent(qMax(0, labelLeft - lblDataLog->x()));
    setFixedSize(width, height);
    KeepOnScreen();
}

void frmMain::KeepOnScreen()
{
    const QScreen* display = screen();
    if (!display || !isVisible())
        return;
    // A window grown past the bottom of the screen moves up, so that its last labels stay in sight.
    const QRect area = display->availableGeometry();
    const QRect frame = frameGeometry();
    const int top = qMax(area.top(), qMin(frame.top(), area.bottom() + 1 - frame.height()));
    const int left = qMax(area.left(), qMin(frame.left(), area.right() + 1 - frame.width()));
    if (top != frame.top() || left != frame.left())
        move(left, top);
}

void frmMain::SetCaption(const QString& caption)
{
    m_pending.Caption = caption;
    Schedule();
}

void frmMain::ShowPortSummary(const QString& text)
{
    m_pending.PortSummary = text;
    Schedule();
}

void frmMain::ShowListening(bool listening)
{
    m_pending.Listening = listening;
    Schedule();
}

void frmMain::ShowConnectionCount(const QString& text)
{
    m_pending.ConnectionCount = text;
    Schedule();
}

void frmMain::ClientLinesChanged()
{
    m_pending.ClientLines = true;
    Schedule();
}

void frmMain::ShowLastClientMessage(const QString& text)
{
    m_pending.LastClientMessage = text;
    Schedule();
}

void frmMain::ShowLastRixMessage(const QString& text)
{
    m_pending.LastRixMessage = text;
    Schedule();
}

void frmMain::LinkChanged(Link, bool)
{
    Schedule();
}

void frmMain::WatchLinks(const RelayCounters& counters, const Relay& relay)
{
    m_counters = &counters;
    m_relay = &relay;
    mnuConnections->setEnabled(true);
    Schedule();
}

void frmMain::ShowConnections()
{
    if (!m_counters)
        return;
    if (!Connections)
        Connections = new frmConnections(*m_counters, Today, this);
    Connections->show();
    Connections->setWindowState(Connections->windowState() & ~Qt::WindowMinimized);
    Connections->raise();
    Connections->activateWindow();
}

void frmMain::Schedule()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void frmMain::Refresh()
{
    m_refreshTimer.stop();
    Pending pending;
    std::swap(pending, m_pending);
    if (pending.Caption)
        setWindowTitle(*pending.Caption);
    if (pending.PortSummary || pending.Listening) {
        m_portSummary = pending.PortSummary.value_or(m_portSummary);
        m_listening = pending.Listening.value_or(m_listening);
        ShowPorts();
    }
    if (pending.ConnectionCount)
        lblConnections->SetFullText(*pending.ConnectionCount);
    if (pending.LastClientMessage)
        lblLastClientMessage->SetFullText(*pending.LastClientMessage);
    if (pending.LastRixMessage)
        lblLastRIXMessage->SetFullText(*pending.LastRixMessage);
    if (pending.ClientLines) {
        // Hidden (no display, or in the tray), nobody reads the lines: they are built when shown.
        if (isVisible())
            ShowClientLines();
        else
            m_linesStale = true;
    }
    ShowLinks();
}

void frmMain::ShowClientLines()
{
    m_linesStale = false;
    const QStringList lines = ConnectedClientLines(m_state);
    ShownClientLabels = qint16(lines.size());
    LblClient->SetLines(lines);
    Layout();
}

void frmMain::ShowPorts()
{
    // A client port nobody can connect to must not look like a healthy one.
    lblIPPorts->SetFullText(m_listening ? m_portSummary : m_portSummary + QStringLiteral(" (not listening)"));
    Layout();
}

void frmMain::ShowLinks()
{
    if (!m_counters)
        return;
    const QDate today = Today();
    const QString rix = LinkText(QStringLiteral("RIX %1:%2").arg(m_state.RixIPAddress).arg(m_state.RixIPPort),
                                 m_counters->Rix(), today);
    const QString clientSide = ClientSideText(m_state, m_relay->Admission.ListenAddress);
    const bool listenMode = m_state.OperationMode == Constants::ListenMode;
    QString client;
    if (listenMode && m_listening) {
        client = QStringLiteral("listening on ") + clientSide;
    } else if (listenMode) {
        client = QStringLiteral("not listening on ") + clientSide;
        if (!m_relay->ListenFailure().isEmpty())
            client += QStringLiteral(": ") + m_relay->ListenFailure();
    } else if (m_listening) {
        client = LinkText(QStringLiteral("client ") + clientSide, m_counters->Client(), today);
    } else {
        client = QStringLiteral("not connecting to the client at ") + clientSide; // the port is not a port
    }
    lblLink->SetFullText(rix + QStringLiteral("; ") + client);
    // A second after midnight, yesterday's times are shown with their date.
    if (!tmrNewDay.isActive())
        tmrNewDay.start(int(MsToNextDay(QDateTime::currentDateTime())));

    QStringList trouble;
    if (m_counters->Rix().Known && !m_counters->Rix().Up)
        trouble.append(rix);
    // The client side is down: nobody can connect to its port, or, in connect mode, the relay cannot
    // reach its client.
    const RelayCounters::LinkCounters& clientLink = m_counters->Client();
    if (!m_listening || (!listenMode && clientLink.Known && !clientLink.Up))
        trouble.append(client);
    const QString tip = trouble.isEmpty() ? QStringLiteral("KEL Tolvane")
                                          : QStringLiteral("KEL Tolvane\n") + trouble.join(QStringLiteral("; "));
    if (tip != TrayIcon->toolTip()) {
        TrayIcon->setToolTip(tip);
        TrayIcon->setIcon(trouble.isEmpty() ? windowIcon() : m_troubleIcon);
    }
}

void frmMain::ShowDataLog()
{
    if (!m_state.LogData) {
        lblDataLog->SetFullText(QStringLiteral("Data log off"));
        return;
    }
    const QFileInfo file(m_state.AppPath + DataLog::FileName());
    lblDataLog->SetFullText(file.exists() ? QStringLiteral("Data log on: %1, %2")
                                                .arg(DataLog::FileName(), QLocale::c().formattedDataSize(file.size()))
                                          : QStringLiteral("Data log on: %1 not written yet").arg(DataLog::FileName()));
}

void frmMain::showEvent(QShowEvent* event)
{
    if (m_linesStale)
        ShowClientLines();
    ShowDataLog();
    tmrDataLog.start();
    QMainWindow::showEvent(event);
}

void frmMain::hideEvent(QHideEvent* event)
{
    tmrDataLog.stop();
    QMainWindow::hideEvent(event);
}

void frmMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        GoToTray();
}

void frmMain::GoToTray()
{
    if (RestoringFromTray || !isMinimized())
        return;
    // Without a notification area the window stays an ordinary minimised window, reachable as usual.
    if (!TrayAvailable())
        return;
    // Hidden once the state change has been handled, not from inside it.
    QTimer::singleShot(0, this, [this] {
        if (!isMinimized())
            return;
        hide();
        TrayIcon->show();
        tmrTrayWatch.start();
    });
}

void frmMain::RestoreFromTray()
{
    tmrTrayWatch.stop();
    Refresh();
    RestoringFromTray = true;
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    activateWindow();
    TrayIcon->hide();
    RestoringFromTray = false;
    RestoreModalDialogs();
}

void frmMain::RestoreModalDialogs()
{
    // A modal dialog open over the window (Setup, and a message box over it) went into hiding with
    // it. Left minimised it would still block the window, with nothing on screen to answer, so the
    // dialogs come back too, each in front of the one it belongs to.
    QList<QWidget*> dialogs;
    QWidget* owner = QApplication::activeModalWidget();
    for (; owner && owner != this; owner = owner->parentWidget()) {
        if (owner->isWindow())
            dialogs.prepend(owner);
    }
    if (owner != this)
        return;
    for (QWidget* dialog : std::as_const(dialogs)) {
        dialog->setWindowState(dialog->windowState() & ~Qt::WindowMinimized);
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    }
}

void frmMain::ExitFromTray()
{
    TrayIcon->hide();
    close();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (!m_closing) {
        m_closing = true;
        tmrTrayWatch.stop();
        if (Connections)
            Connections->close();
        TrayIcon->hide();
        emit Closing();
    }
    event->accept();
}
