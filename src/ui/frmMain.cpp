#include "ui/frmMain.h"

#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QVBoxLayout>

namespace {

QLabel* MakeLabel(const QString& name, const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

frmMain::frmMain(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tolvane"));

    QMenu* mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuSetup = mnuFile->addAction(QStringLiteral("&Setup"));
    mnuSetup->setObjectName(QStringLiteral("mnuSetup"));
    mnuSetup->setEnabled(false);
    mnuExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuExit, &QAction::triggered, this, &QWidget::close);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    m_clientLines = new QVBoxLayout;
    layout->addLayout(m_clientLines);
    lblLastClientMessage = MakeLabel(QStringLiteral("lblLastClientMessage"), {}, central);
    lblLastRIXMessage = MakeLabel(QStringLiteral("lblLastRIXMessage"), {}, central);
    lblConnections = MakeLabel(QStringLiteral("lblConnections"), QStringLiteral("Client Connections = 000"), central);
    lblIPPorts = MakeLabel(QStringLiteral("lblIPPorts"), QStringLiteral("Server IP"), central);
    for (QLabel* label : {lblLastClientMessage, lblLastRIXMessage, lblConnections, lblIPPorts})
        layout->addWidget(label);
    layout->addStretch();
    setCentralWidget(central);
}

void frmMain::SetCaption(const QString& caption)
{
    setWindowTitle(caption);
}

void frmMain::ShowPortSummary(const QString& text)
{
    lblIPPorts->setText(text);
}

void frmMain::ShowConnectionCount(const QString& text)
{
    lblConnections->setText(text);
}

void frmMain::ShowClientLines(const QStringList& lines)
{
    while (m_clientLines->count() > lines.size())
        delete m_clientLines->takeAt(m_clientLines->count() - 1)->widget();
    for (qsizetype k = 0; k < lines.size(); ++k) {
        if (k >= m_clientLines->count())
            m_clientLines->addWidget(MakeLabel(QStringLiteral("LblClient%1").arg(k), {}, centralWidget()));
        static_cast<QLabel*>(m_clientLines->itemAt(int(k))->widget())->setText(lines[k]);
    }
}

void frmMain::ShowLastClientMessage(const QString& text)
{
    lblLastClientMessage->setText(text);
}

void frmMain::ShowLastRixMessage(const QString& text)
{
    lblLastRIXMessage->setText(text);
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (!m_closing) {
        m_closing = true;
        emit Closing();
    }
    event->accept();
}
