#pragma once

#include <QDialog>

class ErrorReporter;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class Relay;
class RuntimeState;
class StatusView;

// The setup dialog: the client and RIX ports and addresses, the operation mode and data logging,
// changed while the relay runs. OK checks each field in turn, asks before anything that drops
// connections, and applies what it accepts at once; nothing reaches "iplog.ini" before shutdown.
class frmSetup final : public QDialog {
    Q_OBJECT
public:
    frmSetup(RuntimeState& state, Relay& relay, StatusView& view, ErrorReporter& errors, QWidget* parent = nullptr);

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

private:
    void Load();
    void OnOk();
    void Apply();
    // One port box or address box: checked, confirmed when it changes, stored. Stop ends the OK
    // with the dialog open.
    enum class Outcome { Stop, Unchanged, Changed };
    Outcome ApplyPort(QLineEdit* box, int& setting, const QString& invalid, const QStringList& confirmation);
    Outcome ApplyAddress(QLineEdit* box, QString& setting, const QString& invalid, const QStringList& confirmation);
    // Message boxes as the program has always shown them: no icon; errors with OK alone,
    // confirmations with OK and Cancel and their lines joined by CR LF.
    void ShowError(const QString& title, const QString& text);
    bool Confirm(const QString& title, const QStringList& lines);

    RuntimeState& m_state;
    Relay& m_relay;
    StatusView& m_view;
    ErrorReporter& m_errors;
};
