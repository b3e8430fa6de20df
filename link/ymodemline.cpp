#include "ymodemline.h"

#include "qextserialport.h"
#include "ymodem.h"

#include <QMutexLocker>
#include <cstring>

namespace
{
const unsigned short kReadWait = 1000; // the wait value the transfer code hands yTransmitRead
} // namespace

int YmodemLine::readByte(char& c)
{
    return w.yTransmitRead(c, kReadWait);
}

bool YmodemLine::write(const char* data, int size)
{
    QextSerialPort* p = w.port;
    return p && p->isOpen() && p->write(data, size) == size;
}

void YmodemLine::flushInput()
{
    {
        QMutexLocker lock(&w.rxMutex);
        w.rxCount = 0;
    }
    w.yTransmitFlushInput();
}

bool YmodemLine::lost()
{
    return w.lineLost();
}

int YmodemLine::captured(char firstTwo[2])
{
    QMutexLocker lock(&w.rxMutex);
    const int count = w.rxCount;
    firstTwo[0] = count > 0 ? w.rxBuffer[0] : 0;
    firstTwo[1] = count > 1 ? w.rxBuffer[1] : 0;
    return count;
}

void YmodemLine::waitForInput(int ms)
{
    w.waitForInput(ms);
}

int YmodemLine::takeCaptured(char* buffer, int max)
{
    QMutexLocker lock(&w.rxMutex);
    const int count = w.rxCount;
    if (count > 0 && max > 0)
        memcpy(buffer, w.rxBuffer, size_t(qMin(count, max)));
    w.rxCount = 0;
    return count;
}

bool YmodemLine::uncapturedInput()
{
    QextSerialPort* p = w.port;
    return p && p->bytesAvailable() > 0;
}
