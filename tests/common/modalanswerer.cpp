#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>

ModalAnswerer::ModalAnswerer(QMessageBox::StandardButton answer, QObject* parent, int pollMs)
    : QObject(parent), answer(answer)
{
    connect(&poll, &QTimer::timeout, this, &ModalAnswerer::answerActiveBox);
    poll.start(pollMs);
}

void ModalAnswerer::answerActiveBox()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || box == lastBox || !box->isVisible())
        return;
    lastBox = box;

    const QMessageBox::StandardButton wanted = queued.isEmpty() ? answer : queued.dequeue();
    QAbstractButton* button = box->button(wanted);
    if (!button)
        button = box->escapeButton();
    if (!button && !box->buttons().isEmpty())
        button = box->buttons().constFirst();

    seen.append(Seen{box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                     button ? box->standardButton(button) : QMessageBox::NoButton});
    if (button)
        button->click();
    else
        box->done(0);
}
