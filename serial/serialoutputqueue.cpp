#include "serialoutputqueue.h"

#include <QMutexLocker>

void SerialOutputQueue::clear()
{
    QMutexLocker tx(&lock);
    queue.clear();
    head = 0;
}

bool SerialOutputQueue::empty() const
{
    QMutexLocker tx(&lock);
    return head == queue.size();
}

bool SerialOutputQueue::pump(SerialPlatform::Port* h, int* err, bool* more)
{
    QMutexLocker tx(&lock);
    const bool ok = pumpLocked(h, err, nullptr);
    if (more)
        *more = head < queue.size();
    return ok;
}

bool SerialOutputQueue::appendAndPump(SerialPlatform::Port* h, const char* data, qint64 size,
                                      qint64* accepted, int* err)
{
    QMutexLocker tx(&lock);
    const qint64 earlier = queue.size() - head;
    queue.append(data, int(size));
    qint64 sent = 0;
    const bool ok = pumpLocked(h, err, &sent);
    *accepted = qMax<qint64>(0, sent - earlier);
    // A caller that retries after a failure must not have the same bytes sent twice.
    if (!ok)
        queue.chop(int(size - *accepted));
    return ok;
}

bool SerialOutputQueue::pumpLocked(SerialPlatform::Port* h, int* err, qint64* sent)
{
    while (head < queue.size()) {
        qint64 n = SerialPlatform::writeNow(h, queue.constData() + head, queue.size() - head, err);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        head += int(n);
        if (sent)
            *sent += n;
    }
    if (head == queue.size()) {
        queue.resize(0);
        head = 0;
    } else if (head > queue.size() / 2) {
        queue.remove(0, head);
        head = 0;
    }
    return true;
}
