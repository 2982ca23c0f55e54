#include "ui/OneLineLabel.h"

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
    setToolTip(shown == m_fullText ? QString() : m_fullText);
}
