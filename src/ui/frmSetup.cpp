#include "ui/frmSetup.h"

#include "core/CheckIPAddress.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"
#include "core/RuntimeState.h"
#include "core/StatusView.h"
#include "net/Relay.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

namespace {

template <typename Widget, typename... Args>
Widget* Named(const QString& name, Args&&... args)
{
    auto* widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(name);
    return widget;
}

} // namespace

frmSetup::frmSetup(RuntimeState& state, Relay& relay, StatusView& view, ErrorReporter& errors, QWidget* parent)
    : QDialog(parent)
    , m_state(state)
    , m_relay(relay)
    , m_view(view)
    , m_errors(errors)
{
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("Setup"));
    setModal(true);

    lblListen = Named<QLabel>(QStringLiteral("lblListen"), QStringLiteral("Client Port"));
    txtClient = Named<QLineEdit>(QStringLiteral("txtClient"), QStringLiteral("1000"));
    lblClientIP = Named<QLabel>(QStringLiteral("lblClientIP"), QStringLiteral("Client IP Address"));
    txtClientIPAddr = Named<QLineEdit>(QStringLiteral("txtClientIPAddr"), QStringLiteral("127.0.0.1"));
    lblServer = Named<QLabel>(QStringLiteral("lblServer"), QStringLiteral("KEL RIX IP Port"));
    txtServerIP = Named<QLineEdit>(QStringLiteral("txtServerIP"), QStringLiteral("1000"));
    lblRIXIP = Named<QLabel>(QStringLiteral("lblRIXIP"), QStringLiteral("KEL RIX  IP Address"));
    txtRIXIPAddr = Named<QLineEdit>(QStringLiteral("txtRIXIPAddr"), QStringLiteral("127.0.0.1"));
    Frame1 = Named<QGroupBox>(QStringLiteral("Frame1"), QStringLiteral("Operation Mode"));
    OptMode[0] = Named<QRadioButton>(QStringLiteral("OptMode(0)"), QStringLiteral("Server (Listen)"));
    OptMode[0]->setToolTip(QStringLiteral("Listen for Incomming Connection"));
    OptMode[1] = Named<QRadioButton>(QStringLiteral("OptMode(1)"), QStringLiteral("Client"));
    OptMode[1]->setToolTip(QStringLiteral("Connect to Client"));
    chkLogData = Named<QCheckBox>(QStringLiteral("chkLogData"), QStringLiteral("Log all data"));
    cmdOk = Named<QPushButton>(QStringLiteral("cmdOk"), QStringLiteral("&Ok"));
    cmdCancel = Named<QPushButton>(QStringLiteral("cmdCancel"), QStringLiteral("&Cancel"));
    cmdOk->setDefault(true);

    auto* fields = new QGridLayout;
    fields->addWidget(lblListen, 0, 0);
    fields->addWidget(txtClient, 0, 1);
    fields->addWidget(lblClientIP, 1, 0);
    fields->addWidget(txtClientIPAddr, 1, 1);
    fields->addWidget(lblServer, 2, 0);
    fields->addWidget(txtServerIP, 2, 1);
    fields->addWidget(lblRIXIP, 3, 0);
    fields->addWidget(txtRIXIPAddr, 3, 1);
    auto* modes = new QHBoxLayout(Frame1);
    modes->addWidget(OptMode[0]);
    modes->addWidget(OptMode[1]);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOk);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(Frame1);
    layout->addWidget(chkLogData);
    layout->addLayout(buttons);

    setTabOrder(txtClient, txtServerIP);
    setTabOrder(txtServerIP, cmdOk);
    setTabOrder(cmdOk, cmdCancel);
    setTabOrder(cmdCancel, chkLogData);
    setTabOrder(chkLogData, OptMode[0]);
    setTabOrder(OptMode[0], OptMode[1]);
    setTabOrder(OptMode[1], txtClientIPAddr);
    setTabOrder(txtClientIPAddr, txtRIXIPAddr);

    connect(cmdOk, &QPushButton::clicked, this, &frmSetup::OnOk);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    Load();
}

void frmSetup::Load()
{
    txtServerIP->setText(QString::number(m_state.RixIPPort));
    txtClient->setText(QString::number(m_state.ClientIPPort));
    txtClientIPAddr->setText(m_state.ClientIPAddress);
    txtRIXIPAddr->setText(m_state.RixIPAddress);
    chkLogData->setChecked(m_state.LogData);
    OptMode[m_state.OperationMode == Constants::ConnectMode ? 1 : 0]->setChecked(true);
}

void frmSetup::OnOk()
{
    try {
        Apply();
    } catch (const Failure& failure) {
        m_errors.Report(Reports::InvalidIPPort, failure);
    }
}

void frmSetup::Apply()
{
    bool clientSideChanged = false;

    const qint16 mode = OptMode[1]->isChecked() ? Constants::ConnectMode : Constants::ListenMode;
    if (mode != m_state.OperationMode)
        clientSideChanged = true;
    m_state.OperationMode = mode;

    const QString disconnects = QStringLiteral("This will disconnect any users currently attached");
    const QString confirm = QStringLiteral("Please Confirm");
    Outcome outcome = ApplyPort(txtClient, m_state.ClientIPPort,
                                QStringLiteral("Invalid Client IP Port #. Please reenter a number between 1 and 65535"),
                                {QStringLiteral("You have entered a new client IP Port#"), disconnects, confirm});
    if (outcome == Outcome::Stop)
        return;
    clientSideChanged |= outcome == Outcome::Changed;
    outcome = ApplyAddress(txtClientIPAddr, m_state.ClientIPAddress,
                           QStringLiteral("Invalid Client IP Address. Please reenter"),
                           {QStringLiteral("You have entered a new client IP Address"), disconnects, confirm});
    if (outcome == Outcome::Stop)
        return;
    clientSideChanged |= outcome == Outcome::Changed;
    if (clientSideChanged)
        m_relay.CloseClientSide();

    outcome = ApplyPort(txtServerIP, m_state.RixIPPort,
                        QStringLiteral("Invalid Server Module IP Port #. Please reenter a number between 1 and 65535"),
                        {QStringLiteral("You have entered a new RIX IP Port#"), confirm});
    if (outcome == Outcome::Stop)
        return;
    bool rixSideChanged = outcome == Outcome::Changed;
    outcome = ApplyAddress(txtRIXIPAddr, m_state.RixIPAddress, QStringLiteral("Invalid RIX IP Address. Please reenter"),
                           {QStringLiteral("You have entered a new RIX IP Address"), disconnects, confirm});
    if (outcome == Outcome::Stop)
        return;
    rixSideChanged |= outcome == Outcome::Changed;
    if (rixSideChanged)
        m_relay.ReconnectRixSide();

    m_state.LogData = chkLogData->isChecked();
    m_view.ShowPortSummary(PortSummaryText(m_state));
    accept();
}

frmSetup::Outcome frmSetup::ApplyPort(QLineEdit* box, int& setting, const QString& invalid, const QStringList& confirmation)
{
    const int port = NumberFromText(box->text());
    if (!Constants::IsPort(port)) {
        ShowError(QStringLiteral("Port Error"), invalid);
        return Outcome::Stop;
    }
    if (port == setting)
        return Outcome::Unchanged;
    if (!Confirm(QStringLiteral("IP Port Change"), confirmation))
        return Outcome::Stop;
    setting = port;
    return Outcome::Changed;
}

frmSetup::Outcome frmSetup::ApplyAddress(QLineEdit* box, QString& setting, const QString& invalid,
                                         const QStringList& confirmation)
{
    if (!CheckIPAddress(box->text(), m_state.CheckedIPAddress)) {
        ShowError(QStringLiteral("Port Error"), invalid);
        box->setText(setting);
        return Outcome::Stop;
    }
    // The text as typed is compared, so "127.000.0.1" asks too, and stores the rebuilt address.
    if (box->text() == setting)
        return Outcome::Unchanged;
    if (!Confirm(QStringLiteral("IP Address Change"), confirmation))
        return Outcome::Stop;
    setting = m_state.CheckedIPAddress;
    return Outcome::Changed;
}

void frmSetup::ShowError(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}

bool frmSetup::Confirm(const QString& title, const QStringList& lines)
{
    QMessageBox box(QMessageBox::NoIcon, title, lines.join(QStringLiteral("\r\n")), QMessageBox::Ok | QMessageBox::Cancel,
                    this);
    box.setObjectName(QStringLiteral("ConfirmBox"));
    return box.exec() == QMessageBox::Ok;
}
