#include "serialinputqueue.h"

#include <QMutexLocker>
#include <cstring>

const int SerialInputQueue::Limit = 8 * 1024 * 1024;

namespace
{
const int RxChunk = 64 * 1024;
} // namespace

SerialPlatform::Port* SerialInputQueue::exchangeHandle(std::atomic<SerialPlatform::Port*>* handle,
                                                       SerialPlatform::Port* h)
{
    QMutexLocker rx(&lock);
    SerialPlatform::Port* old = handle->exchange(h);
    queue.clear();
    if (h)
        queue.reserve(RxChunk);
    head = 0;
    isThrottled = false;
    return old;
}

qint64 SerialInputQueue::queued() const
{
    QMutexLocker rx(&lock);
    return queue.size() - head;
}

qint64 SerialInputQueue::sizeWithDevice(const std::atomic<SerialPlatform::Port*>& handle,
                                        const std::atomic<bool>& gone) const
{
    QMutexLocker rx(&lock);
    qint64 count = queue.size() - head;
    SerialPlatform::Port* h = handle;
    if (h && !gone) {
        int err = 0;
        qint64 driver = SerialPlatform::inputQueue(h, &err);
        if (driver > 0)
            count += driver;
    }
    return count;
}

bool SerialInputQueue::throttled() const
{
    QMutexLocker rx(&lock);
    return isThrottled;
}

qint64 SerialInputQueue::fill(SerialPlatform::Port* h, bool* failed, int* err)
{
    qint64 arrived = 0;
    QMutexLocker rx(&lock);
    for (;;) {
        if (queue.size() - head >= Limit) {
            isThrottled = true;
            break;
        }
        if (head > 0 && head >= queue.size() - head) {
            queue.remove(0, head);
            head = 0;
        }
        const int old = queue.size();
        queue.resize(old + RxChunk);
        qint64 n = SerialPlatform::readNow(h, queue.data() + old, RxChunk, err);
        queue.resize(old + int(qMax<qint64>(n, 0)));
        if (n < 0) {
            *failed = true;
            break;
        }
        arrived += n;
        if (n < RxChunk)
            break;
    }
    return arrived;
}

SerialInputQueue::Taken SerialInputQueue::take(SerialPlatform::Port* h, char* data, qint64 maxSize,
                                               bool readDevice)
{
    Taken result;
    QMutexLocker rx(&lock);
    result.count = qMin(qint64(queue.size() - head), maxSize);
    if (result.count > 0) {
        memcpy(data, queue.constData() + head, size_t(result.count));
        head += int(result.count);
        if (head == queue.size()) {
            queue.resize(0);
            head = 0;
        }
    }
    if (result.count < maxSize && readDevice) {
        qint64 n =
            SerialPlatform::readNow(h, data + result.count, maxSize - result.count, &result.err);
        if (n < 0)
            result.failed = true;
        else
            result.count += n;
    }
    if (isThrottled && queue.size() - head < Limit) {
        isThrottled = false;
        result.resume = true;
    }
    return result;
}
