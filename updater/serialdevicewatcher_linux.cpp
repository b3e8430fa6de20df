// The Linux side of SerialDeviceWatcher: libudev's monitor of the tty subsystem, and the list
// of tty devices in sysfs where udev does not run.
#include "serialdevicewatcher.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>

namespace
{
const char* const ttyClassDir = "/sys/class/tty";
}

struct SerialDeviceWatcher::Monitor {
    udev* context;
    udev_monitor* events;
};

SerialDeviceWatcher::Monitor* SerialDeviceWatcher::openMonitor()
{
    udev* context = udev_new();
    if (!context)
        return nullptr;
    // Without the daemon (a container, an early boot) no event would ever come.
    udev_queue* queue = udev_queue_new(context);
    const bool active = queue && udev_queue_get_udev_is_active(queue);
    udev_queue_unref(queue);
    udev_monitor* events = active ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
    if (!events || udev_monitor_filter_add_match_subsystem_devtype(events, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(events) < 0) {
        udev_monitor_unref(events);
        udev_unref(context);
        return nullptr;
    }
    return new Monitor{context, events};
}

void SerialDeviceWatcher::closeMonitor(Monitor* m)
{
    if (!m)
        return;
    udev_monitor_unref(m->events);
    udev_unref(m->context);
    delete m;
}

int SerialDeviceWatcher::monitorDescriptor(Monitor* m)
{
    return udev_monitor_get_fd(m->events);
}

bool SerialDeviceWatcher::drainMonitor(Monitor* m)
{
    // The socket does not block: a null device with EAGAIN means nothing more is waiting. Any
    // other failure (ENOBUFS after a burst of events) may have cost events: count it a change.
    bool any = false;
    for (;;) {
        errno = 0;
        udev_device* device = udev_monitor_receive_device(m->events);
        if (!device)
            return any || (errno != 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        udev_device_unref(device);
        any = true;
    }
}

QByteArray SerialDeviceWatcher::deviceListing()
{
    DIR* dir = ::opendir(ttyClassDir);
    if (!dir)
        return QByteArray();
    // Each entry links to its device; a device unplugged and another plugged in under the same
    // name gets a new inode.
    QByteArray listing;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) != 0)
            continue;
        listing += entry->d_name;
        listing += ' ';
        listing += QByteArray::number(qulonglong(st.st_ino));
        listing += '\n';
    }
    ::closedir(dir);
    return listing;
}
