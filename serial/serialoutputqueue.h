#ifndef SERIALOUTPUTQUEUE_H
#define SERIALOUTPUTQUEUE_H

#include "serialplatform.h"

#include <QByteArray>
#include <QMutex>

// Output handed over by writes that the device has not taken yet.
class SerialOutputQueue
{
public:
    void clear();
    bool empty() const;
    // Writes as much as the device takes now; *more tells whether some is left. False when the
    // device failed, with *err.
    bool pump(SerialPlatform::Port* h, int* err, bool* more = nullptr);
    // Queues the bytes behind what is waiting and pumps. False when the device failed, with *err
    // and *accepted the count of these bytes it took; none of the rest stays queued.
    bool appendAndPump(SerialPlatform::Port* h, const char* data, qint64 size, qint64* accepted,
                       int* err);

private:
    bool pumpLocked(SerialPlatform::Port* h, int* err, qint64* sent);

    mutable QMutex lock;
    QByteArray queue;
    int head = 0;
};

#endif // SERIALOUTPUTQUEUE_H
