#include "ui/frmMain.h"

#include "core/RuntimeState.h"
#include "ui/ClientLinesView.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSystemTrayIcon>

namespace {

// The design, in twips (1/1440 inch).
constexpr int ClientAreaWidth = 4680;
constexpr int LabelLeft = ClientLinesView::Left;
constexpr int FirstLineTop = ClientLinesView::FirstLineTop;
constexpr int LineSpacing = ClientLinesView::LineSpacing;
constexpr int LineWidth = ClientAreaWidth - LabelLeft - 120;
constexpr int LowerLabelStep = 480;
constexpr int FixedHeight = 2670; // 1800 + 750 + 120: the window with no client line
constexpr int FrameMs = 16;

} // namespace

frmMain::frmMain(RuntimeState& state, QWidget* parent)
    : QMainWindow(parent)
    , TrayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
    , m_state(state)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tolvane"));
    setWindowIcon(QIcon(QStringLiteral(":/tolvane/tolvane.svg")));

    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSetup = mnuFile->addAction(QStringLiteral("&Setup"));
    mnuSetup->setObjectName(QStringLiteral("mnuSetup"));
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
    lblLastClientMessage = MakeLabel(QStringLiteral("lblLastClientMessage"), {}, central);
    lblLastRIXMessage = MakeLabel(QStringLiteral("lblLastRIXMessage"), {}, central);
    lblConnections = MakeLabel(QStringLiteral("lblConnections"), QStringLiteral("Client Connections = 000"), central);
    lblIPPorts = MakeLabel(QStringLiteral("lblIPPorts"), QStringLiteral("Server IP"), central);

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(FrameMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &frmMain::Refresh);

    Layout(0);
}

frmMain::~frmMain() = default;

QLabel* frmMain::MakeLabel(const QString& name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

int frmMain::Pixels(int twips) const
{
    const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
    const qreal dpi = display ? display->logicalDotsPerInchY() : 96.0;
    return qRound(twips * dpi / 1440.0);
}

void frmMain::Place(QWidget* control, int leftTwips, int topTwips, int widthTwips, int heightTwips)
{
    m_topTwips[control] = topTwips;
    control->setGeometry(Pixels(leftTwips), Pixels(topTwips), Pixels(widthTwips), Pixels(heightTwips));
}

int frmMain::TopTwips(const QWidget* control) const
{
    return m_topTwips.value(control, -1);
}

void frmMain::Layout(int lines)
{
    // Room for the lines, then the four lower labels below the last line, each 480 twips down.
    int connectionsTop = FirstLineTop + LineSpacing * lines;
    int height = FixedHeight + LineSpacing * lines;

    // More lines than the screen holds: the window stops growing and the lines scroll.
    const QScreen* display = screen() ? screen() : QGuiApplication::primaryScreen();
    if (display) {
        const int available = display->availableGeometry().height() * 1440 / qMax(1, qRound(display->logicalDotsPerInchY()));
        if (height > available) {
            connectionsTop -= height - available;
            height = available;
        }
    }
    m_heightTwips = height;

    m_linesArea->setGeometry(0, 0, Pixels(ClientAreaWidth), Pixels(connectionsTop));
    LblClient->resize(Pixels(ClientAreaWidth) - m_linesArea->verticalScrollBar()->sizeHint().width(),
                      Pixels(FirstLineTop + LineSpacing * qMax(lines, 1)));
    // The lower labels span the window: at their designed widths five-digit ports and longer
    // addresses would be cut off.
    Place(lblConnections, LabelLeft, connectionsTop, LineWidth, 240);
    Place(lblLastClientMessage, LabelLeft, connectionsTop + LowerLabelStep, LineWidth, 375);
    Place(lblLastRIXMessage, LabelLeft, connectionsTop + 2 * LowerLabelStep, LineWidth, 375);
    Place(lblIPPorts, LabelLeft, connectionsTop + 3 * LowerLabelStep, LineWidth, 240);
    setFixedSize(Pixels(ClientAreaWidth), Pixels(height));
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
    if (pending.PortSummary)
        lblIPPorts->setText(*pending.PortSummary);
    if (pending.ConnectionCount)
        lblConnections->setText(*pending.ConnectionCount);
    if (pending.LastClientMessage)
        lblLastClientMessage->setText(*pending.LastClientMessage);
    if (pending.LastRixMessage)
        lblLastRIXMessage->setText(*pending.LastRixMessage);
    if (pending.ClientLines) {
        // Hidden (no display, or in the tray), nobody reads the lines: they are built when shown.
        if (isVisible())
            ShowClientLines();
        else
            m_linesStale = true;
    }
}

void frmMain::ShowClientLines()
{
    m_linesStale = false;
    LblClient->SetLines(ConnectedClientLines(m_state));
    Layout(int(LblClient->Lines().size()));
}

void frmMain::showEvent(QShowEvent* event)
{
    if (m_linesStale)
        ShowClientLines();
    QMainWindow::showEvent(event);
}

void frmMain::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        GoToTray();
}

void frmMain::GoToTray()
{
    if (m_state.RestoringFromTray || !isMinimized())
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
    });
}

void frmMain::RestoreFromTray()
{
    Refresh();
    m_state.RestoringFromTray = true;
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    activateWindow();
    TrayIcon->hide();
    m_state.RestoringFromTray = false;
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
        TrayIcon->hide();
        emit Closing();
    }
    event->accept();
}
