#include "serialdevicewatcher.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSocketNotifier>

SerialDeviceWatcher::SerialDeviceWatcher(QObject* parent) : QObject(parent), monitor(openMonitor())
{
    qDebug() << (monitor ? "serial devices: watched through udev"
                         : "serial devices: no udev, the device list is compared at each scan");
}

SerialDeviceWatcher::~SerialDeviceWatcher()
{
    // The notifier goes before the socket it watches.
    delete notifier;
    closeMonitor(monitor);
}

void SerialDeviceWatcher::watch()
{
    if (!monitor || notifier)
        return;
    notifier = new QSocketNotifier(monitorDescriptor(monitor), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SerialDeviceWatcher::readEvents);
}

void SerialDeviceWatcher::readEvents()
{
    QMutexLocker locker(&lock);
    if (drainMonitor(monitor))
        changed = true;
}

bool SerialDeviceWatcher::takeChange()
{
    QMutexLocker locker(&lock);
    if (monitor) {
        // What has arrived counts even before the notifier's thread has had its turn.
        if (drainMonitor(monitor))
            changed = true;
    } else {
        const QByteArray listing = deviceListing();
        if (listing.isEmpty() || listing != lastListing)
            changed = true;
        lastListing = listing;
    }
    const bool was = changed;
    changed = false;
    return was;
}
