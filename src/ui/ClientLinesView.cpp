#include "ui/ClientLinesView.h"

#include <QPaintEvent>
#include <QPainter>

ClientLinesView::ClientLinesView(std::function<int(int)> twipsToPixels, QWidget* parent)
    : QWidget(parent)
    , m_pixels(std::move(twipsToPixels))
{
    setObjectName(QStringLiteral("LblClient"));
}

void ClientLinesView::SetLines(const QStringList& lines)
{
    m_lines = lines;
    update();
}

void ClientLinesView::paintEvent(QPaintEvent* event)
{
    if (m_lines.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    const int spacing = m_pixels(LineSpacing);
    const int first = qMax(0, (event->rect().top() - m_pixels(FirstLineTop)) / qMax(1, spacing));
    for (int k = first; k < m_lines.size(); ++k) {
        const QRect line(m_pixels(Left), m_pixels(LineTopTwips(k)), width() - m_pixels(Left), m_pixels(LineHeight));
        if (line.top() > event->rect().bottom())
            break;
        painter.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, m_lines[k]);
    }
}
