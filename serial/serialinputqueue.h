#ifndef SERIALINPUTQUEUE_H
#define SERIALINPUTQUEUE_H

#include "serialplatform.h"

#include <QByteArray>
#include <QMutex>
#include <atomic>

// Bytes the monitor has taken from the device and no read has taken yet (the driver's queue on
// the original platform). Above Limit the monitor stops reading until a read makes room.
class SerialInputQueue
{
public:
    static const int Limit;

    // What take() did besides copying.
    struct Taken {
        qint64 count = 0;
        bool failed = false; // the device read failed, with err
        int err = 0;
        bool resume = false; // the queue has room again: the monitor may read once more
    };

    // Sets the port's handle to h and empties the queue, both under the queue's lock, so that a
    // size() on another thread never reads through a handle being freed. Returns the old one.
    SerialPlatform::Port* exchangeHandle(std::atomic<SerialPlatform::Port*>* handle,
                                         SerialPlatform::Port* h);
    qint64 queued() const;
    // The queue and what the device holds besides, read through the handle under the lock.
    qint64 sizeWithDevice(const std::atomic<SerialPlatform::Port*>& handle,
                          const std::atomic<bool>& gone) const;
    bool throttled() const;
    // Reads what has arrived, in steps, until the device has no more or the queue is full.
    // Returns the count read; on failure *failed is set, with *err.
    qint64 fill(SerialPlatform::Port* h, bool* failed, int* err);
    // Serves from the queue first and then, with readDevice, from the device, in arrival order.
    Taken take(SerialPlatform::Port* h, char* data, qint64 maxSize, bool readDevice);

private:
    mutable QMutex lock;
    QByteArray queue;
    int head = 0;
    bool isThrottled = false;
};

#endif // SERIALINPUTQUEUE_H
