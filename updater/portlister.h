#ifndef PORTLISTER_H
#define PORTLISTER_H

#include <QList>
#include <QString>
#include <QStringList>

// The serial ports the window offers. The system's list comes first; the environment variable
// UPDATER_EXTRA_PORTS adds ports the system never lists, such as the pseudo-terminal of a
// simulated console:
//     UPDATER_EXTRA_PORTS="/dev/pts/5=STMicroelectronics.;/tmp/ttyX=Other"
// Entries are separated by ";", each a path, "=" and the manufacturer string (which may be left
// out). They follow their devices the way the system's list follows USB devices: the variable
// is read again at every scan, a path that does not exist (or a link whose device is gone) is
// not listed, and a path that is a folder lists every entry in it, sorted by name, under its
// name (as the system names /dev/ttyACM0 "ttyACM0") and with the entry's manufacturer; a console
// that comes back under a new link in that folder is listed at the next scan. An entry for a path
// the system already lists replaces that port in place.
class PortLister
{
public:
    struct Port {
        QString portName;
        QString systemLocation;
        QString manufacturer;
    };

    static const char* const ExtraPortsVariable;
    // The manufacturer a console's port reports.
    static const char* const ConsoleManufacturer;

    // System locations of the ports that look like a console, in the order the window lists
    // them. Safe to call from any thread.
    static QStringList consolePorts();

    // The system's ports in its order, then the extra ports in the variable's order.
    static QList<Port> availablePorts();
    // The entries as written, without looking at the file system.
    static QList<Port> parseExtraPorts(const QString& portList);
    // The entries as devices now: folders expanded, missing paths left out.
    static QList<Port> presentExtraPorts(const QString& portList);
    // The name a port is shown with: its path without a leading "/dev/".
    static QString portNameFromLocation(const QString& location);
};

#endif // PORTLISTER_H
