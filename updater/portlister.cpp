#include "portlister.h"

#include "serialportcache.h"

#include <QSerialPortInfo>
#include <QStringList>

const char* const PortLister::ExtraPortsVariable = "UPDATER_EXTRA_PORTS";

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

QList<PortLister::Port> PortLister::availablePorts()
{
    QList<Port> ports;
    const QList<QSerialPortInfo> infos = SerialPortCache::availablePorts();
    for (const QSerialPortInfo& info : infos)
        ports.append(Port{info.portName(), info.systemLocation(), info.manufacturer()});

    const QList<Port> extra = parseExtraPorts(QString::fromLocal8Bit(qgetenv(ExtraPortsVariable)));
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
