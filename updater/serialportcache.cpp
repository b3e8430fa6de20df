#include "serialportcache.h"

#include "serialdevicewatcher.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

SerialPortCache::SerialPortCache() : watcher(new SerialDeviceWatcher)
{
    // The watcher reads its events in the application's thread, whichever thread asks first.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        watcher->moveToThread(app->thread());
        QMetaObject::invokeMethod(watcher, [w = watcher] { w->watch(); });
    }
}

SerialPortCache& SerialPortCache::instance()
{
    // Never destroyed: the watcher's notifier belongs to an event loop that ends before static
    // objects are destroyed.
    static SerialPortCache* const cache = new SerialPortCache;
    return *cache;
}

QList<QSerialPortInfo> SerialPortCache::availablePorts()
{
    SerialPortCache& cache = instance();
    QMutexLocker locker(&cache.lock);
    // The change is taken before reading, so that one arriving during the read counts next time.
    if (cache.watcher->takeChange())
        cache.ports = QSerialPortInfo::availablePorts();
    return cache.ports;
}
