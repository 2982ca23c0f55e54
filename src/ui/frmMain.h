#pragma once

#include "core/StatusView.h"

#include <QMainWindow>

class QAction;
class QLabel;
class QVBoxLayout;

// The status window. It shows what the relay tells it through StatusView and asks for the
// orderly shutdown when it is closed.
class frmMain final : public QMainWindow, public StatusView {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);

    void SetCaption(const QString& caption) override;
    void ShowPortSummary(const QString& text) override;
    void ShowConnectionCount(const QString& text) override;
    void ShowClientLines(const QStringList& lines) override;
    void ShowLastClientMessage(const QString& text) override;
    void ShowLastRixMessage(const QString& text) override;

    QAction* mnuSetup = nullptr;
    QAction* mnuExit = nullptr;

signals:
    // The window is closing: the shutdown sequence must run now.
    void Closing();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QVBoxLayout* m_clientLines = nullptr;
    QLabel* lblLastClientMessage = nullptr;
    QLabel* lblLastRIXMessage = nullptr;
    QLabel* lblConnections = nullptr;
    QLabel* lblIPPorts = nullptr;
    bool m_closing = false;
};
