#pragma once

#include <QLabel>

// A label that keeps to one line: a text wider than the label ends in a visible "…" where it is
// cut, and the tooltip holds the whole text. It never wraps and never draws outside its width.
class OneLineLabel final : public QLabel {
public:
    OneLineLabel(const QString& name, const QString& text, QWidget* parent);

    void SetFullText(const QString& text);
    const QString& FullText() const { return m_fullText; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Elide();

    QString m_fullText;
};
