#include "portlister.h"

#include "serialportcache.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStringList>

const char* const PortLister::ExtraPortsVariable = "UPDATER_EXTRA_PORTS";
const char* const PortLister::ConsoleManufacturer = "STMicroelectronics.";

QStringList PortLister::consolePorts()
{
    QStringList found;
    // Consoles go to the top of the list in reverse order, as the window puts them.
    for (const Port& port : availablePorts())
        if (port.manufacturer == QLatin1String(ConsoleManufacturer))
            found.prepend(port.systemLocation);
    return found;
}

QString PortLister::portNameFromLocation(const QString& location)
{
    const QLatin1String dev("/dev/");
    return location.startsWith(dev) ? location.mid(dev.size()) : location;
}

QList<PortLister::Port> PortLister::parseExtraPorts(const QString& portList)
{
    QList<Port> ports;
    const QStringList entries = portList.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& entry : entries) {
        const int eq = entry.indexOf(QLatin1Char('='));
        const QString location = (eq < 0 ? entry : entry.left(eq)).trimmed();
        if (location.isEmpty())
            continue;
        Port port;
        port.systemLocation = location;
        port.portName = portNameFromLocation(location);
        if (eq >= 0)
            port.manufacturer = entry.mid(eq + 1);
        ports.append(port);
    }
    return ports;
}

QList<PortLister::Port> PortLister::presentExtraPorts(const QString& portList)
{
    QList<Port> present;
    for (const Port& entry : parseExtraPorts(portList)) {
        const QFileInfo info(entry.systemLocation);
        if (!info.isDir()) {
            // exists() follows links: one whose device went is a port no longer.
            if (info.exists())
                present.append(entry);
            continue;
        }
        const QDir folder(entry.systemLocation);
        const QStringList names =
            folder.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& name : names) {
            const QString location = folder.filePath(name);
            if (QFileInfo::exists(location))
                present.append(Port{name, location, entry.manufacturer});
        }
    }
    return present;
}

QList<PortLister::Port> PortLister::availablePorts()
{
    QList<Port> ports;
    const QList<QSerialPortInfo> infos = SerialPortCache::availablePorts();
    for (const QSerialPortInfo& info : infos)
        ports.append(Port{info.portName(), info.systemLocation(), info.manufacturer()});

    const QList<Port> extra =
        presentExtraPorts(QString::fromLocal8Bit(qgetenv(ExtraPortsVariable)));
    for (const Port& port : extra) {
        bool replaced = false;
        for (Port& known : ports) {
            if (known.systemLocation == port.systemLocation) {
                known = port;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            ports.append(port);
    }
    return ports;
}
