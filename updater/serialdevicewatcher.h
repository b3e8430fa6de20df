#ifndef SERIALDEVICEWATCHER_H
#define SERIALDEVICEWATCHER_H

#include <QByteArray>
#include <QMutex>
#include <QObject>

class QSocketNotifier;

// Says whether the set of serial devices may have changed since it was last asked, so that the
// system's port list is read again only then. Where the device manager (udev) runs, its
// monitor of the tty subsystem tells, read through a socket notifier in the watcher's thread as
// events arrive. Elsewhere the system's list of tty devices is compared with the one seen last;
// where even that cannot be read, every question is answered "changed".
class SerialDeviceWatcher : public QObject
{
    Q_OBJECT

public:
    explicit SerialDeviceWatcher(QObject* parent = nullptr);
    ~SerialDeviceWatcher() override;

    // Starts reading the monitor as events arrive; call in the watcher's thread, which needs an
    // event loop. Without it takeChange() still reads what has arrived.
    void watch();
    // True on the first call and after any change; safe to call from any thread.
    bool takeChange();
    // Whether the device manager's monitor is used (else the device list is compared).
    bool usesMonitor() const { return monitor != nullptr; }

private:
    // Platform side (serialdevicewatcher_linux.cpp).
    struct Monitor;
    static Monitor* openMonitor();
    static void closeMonitor(Monitor* m);
    static int monitorDescriptor(Monitor* m);
    // Reads every event waiting; true when there was one, or when events may have been lost.
    static bool drainMonitor(Monitor* m);
    // The tty devices the system has now, one line each; empty when it cannot be read.
    static QByteArray deviceListing();

    void readEvents();

    QMutex lock; // the monitor's socket, changed and lastListing
    Monitor* const monitor;
    QSocketNotifier* notifier = nullptr;
    bool changed = true;
    QByteArray lastListing;
};

#endif // SERIALDEVICEWATCHER_H
