#pragma once

// What the tests of the dialogs share: message boxes answered as they open. Widgets only.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>

// Answers every message box as it opens, in order, and remembers what each one said.
class BoxAnswers final : public QObject {
public:
    struct Seen {
        QString Title;
        QString Text;
        QMessageBox::Icon Icon;
        QMessageBox::StandardButtons Buttons;
    };

    explicit BoxAnswers(QList<QMessageBox::StandardButton> answers = {})
        : m_answers(std::move(answers))
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            Boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
            if (WhileOpen)
                WhileOpen(*box);
            // An unexpected box is answered with its first button so the test does not hang.
            const QMessageBox::StandardButton answer = m_answers.isEmpty() ? QMessageBox::Ok : m_answers.takeFirst();
            box->button(answer)->click();
        });
        m_timer.start(5);
    }

    QList<Seen> Boxes;
    // Runs while each box is open, before it is answered: what the program did before it asked.
    std::function<void(const QMessageBox&)> WhileOpen;

private:
    QList<QMessageBox::StandardButton> m_answers;
    QTimer m_timer;
};

inline QStringList Titles(const QList<BoxAnswers::Seen>& boxes)
{
    QStringList titles;
    for (const auto& box : boxes)
        titles.append(box.Title);
    return titles;
}
