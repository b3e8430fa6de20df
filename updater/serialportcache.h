#ifndef SERIALPORTCACHE_H
#define SERIALPORTCACHE_H

#include <QList>
#include <QMutex>
#include <QSerialPortInfo>

class SerialDeviceWatcher;

// The system's list of serial ports, one for the process, read again only when the set of
// serial devices may have changed (reading it costs thousands of file operations). Safe to use
// from any thread.
class SerialPortCache
{
public:
    static QList<QSerialPortInfo> availablePorts();

private:
    SerialPortCache();
    static SerialPortCache& instance();

    QMutex lock; // ports, and the reading of the system's list
    QList<QSerialPortInfo> ports;
    SerialDeviceWatcher* watcher;
};

#endif // SERIALPORTCACHE_H
