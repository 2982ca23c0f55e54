#pragma once

#include "core/Settings.h"

#include <QDialog>

class ErrorReporter;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The setup dialog: the client and RIX ports and addresses, the operation mode and data logging,
// changed while the relay runs. OK checks each field in turn, asks before anything that drops
// connections, and hands what it accepts to target at once; nothing reaches "iplog.ini" before
// shutdown. running is the settings the relay runs with.
class frmSetup final : public QDialog {
    Q_OBJECT
public:
    frmSetup(const Settings& running, SettingsTarget& target, ErrorReporter& errors, QWidget* parent = nullptr);

    QLabel* lblListen = nullptr;
    QLineEdit* txtClient = nullptr;
    QLabel* lblClientIP = nullptr;
    QLineEdit* txtClientIPAddr = nullptr;
    QLabel* lblServer = nullptr;
    QLineEdit* txtServerIP = nullptr;
    QLabel* lblRIXIP = nullptr;
    QLineEdit* txtRIXIPAddr = nullptr;
    QGroupBox* Frame1 = nullptr;
    QRadioButton* OptMode[2] = {nullptr, nullptr};
    QCheckBox* chkLogData = nullptr;
    QPushButton* cmdOk = nullptr;
    QPushButton* cmdCancel = nullptr;

    // Closes the dialog, however it is closed, and gives the window it was opened over the focus.
    void done(int result) override;

private:
    void Load();
    void OnOk();
    void Apply();
    // The boxes of one side, in turn, into wanted. False when one of them ended the OK.
    bool AskClientSide(Settings& wanted);
    bool AskRixSide(Settings& wanted);
    // One port box or address box: checked, confirmed when it changes, stored in setting. False
    // ends the OK with the dialog open.
    bool AskPort(QLineEdit* box, int& setting, const QString& invalid, const QStringList& confirmation);
    bool AskAddress(QLineEdit* box, QString& setting, const QString& invalid, const QStringList& confirmation);
    // Message boxes as the program has always shown them: no icon; errors with OK alone,
    // confirmations with OK and Cancel and their lines joined by CR LF.
    void ShowError(const QString& title, const QString& text);
    bool Confirm(const QString& title, const QStringList& lines);

    // The dotted address text rebuilt by the address check.
    QString CheckedIPAddress;
    const Settings& m_running;
    SettingsTarget& m_target;
    ErrorReporter& m_errors;
};
