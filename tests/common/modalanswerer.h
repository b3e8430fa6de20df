#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QTimer>

// Answers blocking message boxes the way a user would. While it exists, a timer looks for the
// active modal widget every few milliseconds; a QMessageBox found there is noted in `seen` and
// one of its buttons is pressed. The timer also runs inside the box's own event loop, so code
// under test that calls QMessageBox::critical() and the like gets its answer and goes on.
class ModalAnswerer : public QObject
{
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton answer; // the button pressed (NoButton when none)
    };

    // answer: the button pressed when no answer is queued. A box without that button gets its
    // escape button, or else its first one.
    explicit ModalAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok,
                           QObject* parent = nullptr, int pollMs = 10);

    void setAnswer(QMessageBox::StandardButton button) { answer = button; }
    // Answers for the next boxes, in the order they appear; the default answer after them.
    void enqueue(QMessageBox::StandardButton button) { queued.enqueue(button); }

    int count() const { return seen.size(); }
    Seen last() const { return seen.isEmpty() ? Seen{} : seen.last(); }
    void clear() { seen.clear(); }

    QList<Seen> seen;

private:
    void answerActiveBox();

    QMessageBox::StandardButton answer;
    QQueue<QMessageBox::StandardButton> queued;
    QTimer poll;
    QPointer<QMessageBox> lastBox; // pressed already; its loop may not have ended yet
};

#endif // MODALANSWERER_H
