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
    // Only whole lines: one cut at the edge of the view would be half a line, or touch the label below.
    const QRect inView = visibleRegion().boundingRect();
    const int spacing = m_pixels(LineSpacing);
    // One line early: the spacing in pixels is rounded, and the error grows down the list.
    const int first = qMax(0, (event->rect().top() - m_pixels(FirstLineTop)) / qMax(1, spacing) - 1);
    for (int k = first; k < m_lines.size(); ++k) {
        const QRect line(m_pixels(Left), m_pixels(LineTopTwips(k)), width() - m_pixels(Left), m_pixels(LineHeight));
        if (line.top() > event->rect().bottom())
            break;
        if (line.top() >= inView.top() && line.bottom() <= inView.bottom())
            painter.drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, m_lines[k]);
    }
}

void ClientLinesView::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    // Scrolling moves this view under its window: a line cut before may be whole now, and the other
    // way round, so the view is painted afresh rather than shifted.
    update();
}
