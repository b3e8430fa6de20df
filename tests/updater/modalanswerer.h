#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

// Answers blocking message boxes the way a user would: while it runs, it looks for the active
// modal QMessageBox every few milliseconds, notes what the box showed and presses the chosen
// button (or, when the box has no such button, its first one).
// No Q_OBJECT, so test files can include it without listing it for moc.
class ModalAnswerer : public QObject
{
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
    };

    explicit ModalAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok,
                           QObject* parent = nullptr)
        : QObject(parent), answer(answer)
    {
        connect(&poll, &QTimer::timeout, this, [this] { answerActiveBox(); });
        poll.start(20);
    }

    void setAnswer(QMessageBox::StandardButton button) { answer = button; }
    QList<Seen> seen;

private:
    void answerActiveBox()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box == lastBox || !box->isVisible())
            return;
        lastBox = box;
        seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons()});
        QAbstractButton* button = box->button(answer);
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().constFirst();
        if (button)
            button->click();
    }

    QMessageBox::StandardButton answer;
    QTimer poll;
    QPointer<QMessageBox> lastBox;
};

#endif // MODALANSWERER_H
