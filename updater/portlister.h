#ifndef PORTLISTER_H
#define PORTLISTER_H

#include <QList>
#include <QString>

// The serial ports the window offers. The system's list comes first; the environment variable
// UPDATER_EXTRA_PORTS adds ports the system never lists, such as the pseudo-terminal of a
// simulated console:
//     UPDATER_EXTRA_PORTS="/dev/pts/5=STMicroelectronics.;/tmp/ttyX=Other"
// Entries are separated by ";", each a device path, "=" and the manufacturer string (which may
// be left out). An entry for a path the system already lists replaces that port in place.
class PortLister
{
public:
    struct Port {
        QString portName;
        QString systemLocation;
        QString manufacturer;
    };

    static const char* const ExtraPortsVariable;

    // The system's ports in its order, then the extra ports in the variable's order.
    static QList<Port> availablePorts();
    static QList<Port> parseExtraPorts(const QString& portList);
    // The name a port is shown with: its path without a leading "/dev/".
    static QString portNameFromLocation(const QString& location);
};

#endif // PORTLISTER_H
