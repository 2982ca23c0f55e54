#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>

// The client lines of the status window, one per connected client, 375 twips apart. One widget
// paints whichever lines are in view, so 5,000 clients cost 5,000 strings, not 5,000 labels.
class ClientLinesView final : public QWidget {
    Q_OBJECT
public:
    // twipsToPixels converts the window's twips at the screen's resolution.
    ClientLinesView(std::function<int(int)> twipsToPixels, QWidget* parent = nullptr);

    void SetLines(const QStringList& lines);
    const QStringList& Lines() const { return m_lines; }
    // Where line k stands, in twips from the top of the window's client area.
    static int LineTopTwips(int k) { return FirstLineTop + LineSpacing * k; }

    static constexpr int FirstLineTop = 120;
    static constexpr int LineSpacing = 375;
    static constexpr int LineHeight = 255;
    static constexpr int Left = 240;

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    std::function<int(int)> m_pixels;
    QStringList m_lines;
};
