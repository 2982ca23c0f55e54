#include "ui/OneLineLabel.h"

#include <QCursor>
#include <QToolTip>

OneLineLabel::OneLineLabel(const QString& name, const QString& text, QWidget* parent)
    : QLabel(parent)
{
    setObjectName(name);
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetFullText(text);
}

void OneLineLabel::SetFullText(const QString& text)
{
    m_fullText = text;
    Elide();
}

void OneLineLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    Elide();
}

void OneLineLabel::Elide()
{
    // TextSingleLine: a line break that slipped into a text would otherwise wrap it over the next label.
    const QString shown
        = fontMetrics().elidedText(m_fullText, Qt::ElideRight, contentsRect().width(), Qt::TextSingleLine);
    setText(shown);
    const QString tip = shown == m_fullText ? QString() : m_fullText;
    // Qt reads a tooltip only when it opens: one showing this label's old text follows the new one.
    if (!toolTip().isEmpty() && tip != toolTip() && QToolTip::isVisible() && QToolTip::text() == toolTip()) {
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(QCursor::pos(), tip, this);
    }
    setToolTip(tip);
}
