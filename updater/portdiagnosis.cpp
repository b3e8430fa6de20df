#include "portdiagnosis.h"

#include "win_qextserialport.h"

#include <QStringList>

PortDiagnosis PortDiagnosis::diagnose(const QString& device, int openErrno)
{
    PortDiagnosis d;
    d.path = device;
    d.errnum = openErrno;
    d.why = reasonFor(openErrno);
    switch (d.why) {
    case PermissionDenied:
        d.group = groupOwning(device);
        d.inGroup = !d.group.isEmpty() && currentUserInGroup(d.group);
        break;
    case Busy:
        d.holding = processesHolding(device);
        break;
    case NoError:
    case Gone:
    case OtherError:
        break;
    }
    return d;
}

PortDiagnosis PortDiagnosis::lastOpenFailure()
{
    QString device;
    const int err = Win_QextSerialPort::lastOpenError(&device);
    return err == 0 ? PortDiagnosis() : diagnose(device, err);
}

QString PortDiagnosis::traceText() const
{
    const QString text = detail();
    if (text.isEmpty())
        return text;
    QString lines = text;
    lines.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return lines + QLatin1String("\r\n");
}

QString PortDiagnosis::summary() const
{
    switch (why) {
    case NoError:
        return QString();
    case PermissionDenied:
        return QStringLiteral("Permission denied on %1.").arg(path);
    case Busy:
        return QStringLiteral("%1 is busy: another program has it open.").arg(path);
    case Gone:
        return QStringLiteral("%1 is not there any more.").arg(path);
    case OtherError:
        break;
    }
    return QStringLiteral("%1: %2.").arg(path, errorText(errnum));
}

QString PortDiagnosis::detail() const
{
    QStringList lines;
    switch (why) {
    case NoError:
        return QString();
    case PermissionDenied:
        if (group.isEmpty()) {
            lines << QStringLiteral("Your user may not read and write %1.").arg(path)
                  << QStringLiteral("Install the updater's udev rules (see the README), then "
                                    "unplug the console and plug it in again.");
        } else if (inGroup) {
            lines << QStringLiteral("%1 belongs to the group \"%2\". Your user is in that "
                                    "group, but this session started before it was added.")
                         .arg(path, group)
                  << QStringLiteral("Log out and log in again (or restart the computer).");
        } else {
            lines << QStringLiteral("%1 belongs to the group \"%2\", and your user is not in "
                                    "that group.")
                         .arg(path, group)
                  << QStringLiteral("Fix: run   sudo usermod -aG %1 $USER   and log in again,")
                         .arg(group)
                  << QStringLiteral("or install the updater's udev rules (see the README), "
                                    "then plug the console in again.");
        }
        break;
    case Busy:
        if (holding.isEmpty()) {
            lines << QStringLiteral("Another program has %1 open.").arg(path);
        } else {
            QStringList names;
            for (const Holder& h : holding)
                names << QStringLiteral("%1 (process %2)")
                             .arg(h.name.isEmpty() ? QStringLiteral("unknown") : h.name)
                             .arg(h.pid);
            lines
                << QStringLiteral("%1 is open in: %2.").arg(path, names.join(QStringLiteral(", ")));
        }
        lines << QStringLiteral("Close that program (a terminal program, or ModemManager probing "
                                "the port: the udev rules keep it away), then try again.");
        break;
    case Gone:
        lines << QStringLiteral("%1 does not exist any more: the console was unplugged, "
                                "switched off or is restarting.")
                     .arg(path)
              << QStringLiteral("Connect it and switch it on, press the refresh button, then "
                                "try again.");
        break;
    case OtherError:
        lines
            << QStringLiteral("The system said: %1 (error %2).").arg(errorText(errnum)).arg(errnum)
            << QStringLiteral("Unplug the console, plug it in again and try again.");
        break;
    }
    return summary() + QLatin1Char('\n') + lines.join(QLatin1Char('\n'));
}
