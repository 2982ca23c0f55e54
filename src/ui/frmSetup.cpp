#include "ui/frmSetup.h"

#include "core/CheckIPAddress.h"
#include "core/Constants.h"
#include "core/Failure.h"
#include "core/NumberFromText.h"

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

template <typename Widget, typename... Args> Widget* Named(const QString& name, Args&&... args)
{
    auto* widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(name);
    return widget;
}

const QString Disconnects = QStringLiteral("This will disconnect any users currently attached");
const QString PleaseConfirm = QStringLiteral("Please Confirm");

} // namespace

frmSetup::frmSetup(const Settings& running, SettingsTarget& target, ErrorReporter& errors, QWidget* parent)
    : QDialog(parent)
    , m_running(running)
    , m_target(target)
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

void frmSetup::done(int result)
{
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QDialog::done(result);
    // Once the dialog (and the message box before it) has gone, the window manager may leave the
    // keyboard focus with no window at all: the window the dialog was opened over takes it back.
    if (owner && owner->isVisible()) {
        owner->raise();
        owner->activateWindow();
    }
}

void frmSetup::Load()
{
    txtServerIP->setText(QString::number(m_running.RixIPPort));
    txtClient->setText(QString::number(m_running.ClientIPPort));
    txtClientIPAddr->setText(m_running.ClientIPAddress);
    txtRIXIPAddr->setText(m_running.RixIPAddress);
    chkLogData->setChecked(m_running.LogData);
    OptMode[m_running.OperationMode == Constants::ConnectMode ? 1 : 0]->setChecked(true);
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
    Settings wanted = m_running;
    wanted.OperationMode = OptMode[1]->isChecked() ? Constants::ConnectMode : Constants::ListenMode;
    // Each side reaches the relay once all its boxes have passed, the client side before the RIX boxes
    // are checked. A box that stops the OK (a cancelled confirmation, a number that is not one) leaves
    // its side as it runs: nothing is dropped after the operator cancelled its warning, and the relay
    // never runs on settings other than those the program holds.
    if (!AskClientSide(wanted))
        return;
    m_target.ApplySettings(wanted);
    if (!AskRixSide(wanted))
        return;
    wanted.LogData = chkLogData->isChecked();
    m_target.ApplySettings(wanted);
    accept();
}

bool frmSetup::AskClientSide(Settings& wanted)
{
    return AskPort(txtClient, wanted.ClientIPPort,
                   QStringLiteral("Invalid Client IP Port #. Please reenter a number between 1 and 65535"),
                   {QStringLiteral("You have entered a new client IP Port#"), Disconnects, PleaseConfirm})
        && AskAddress(txtClientIPAddr, wanted.ClientIPAddress,
                      QStringLiteral("Invalid Client IP Address. Please reenter"),
                      {QStringLiteral("You have entered a new client IP Address"), Disconnects, PleaseConfirm});
}

bool frmSetup::AskRixSide(Settings& wanted)
{
    return AskPort(txtServerIP, wanted.RixIPPort,
                   QStringLiteral("Invalid Server Module IP Port #. Please reenter a number between 1 and 65535"),
                   {QStringLiteral("You have entered a new RIX IP Port#"), PleaseConfirm})
        && AskAddress(txtRIXIPAddr, wanted.RixIPAddress, QStringLiteral("Invalid RIX IP Address. Please reenter"),
                      {QStringLiteral("You have entered a new RIX IP Address"), Disconnects, PleaseConfirm});
}

bool frmSetup::AskPort(QLineEdit* box, int& setting, const QString& invalid, const QStringList& confirmation)
{
    const int port = NumberFromText(box->text());
    if (!Constants::IsPort(port)) {
        ShowError(QStringLiteral("Port Error"), invalid);
        return false;
    }
    if (port == setting)
        return true;
    if (!Confirm(QStringLiteral("IP Port Change"), confirmation))
        return false;
    setting = port;
    return true;
}

bool frmSetup::AskAddress(QLineEdit* box, QString& setting, const QString& invalid, const QStringList& confirmation)
{
    if (!CheckIPAddress(box->text(), CheckedIPAddress)) {
        ShowError(QStringLiteral("Port Error"), invalid);
        box->setText(setting);
        return false;
    }
    // The text as typed is compared, so "127.000.0.1" asks too, and stores the rebuilt address.
    if (box->text() == setting)
        return true;
    if (!Confirm(QStringLiteral("IP Address Change"), confirmation))
        return false;
    setting = CheckedIPAddress;
    return true;
}

void frmSetup::ShowError(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ErrorBox"));
    box.exec();
}

bool frmSetup::Confirm(const QString& title, const QStringList& lines)
{
    QMessageBox box(QMessageBox::NoIcon, title, lines.join(QStringLiteral("\r\n")),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("ConfirmBox"));
    return box.exec() == QMessageBox::Ok;
}
