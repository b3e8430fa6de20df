// Measures the CPU time an open, idle port costs: opens the port on a pseudo-terminal or on a
// simulated USB device with modem lines, sits idle (event loop running, monitor waiting) for the
// given time and prints the process's user+system time over that period.
//   serialidle pty|sim [seconds]
#include "qextserialport.h"
#include "simdevice.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString kind = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("pty");
    const int seconds = argc > 2 ? atoi(argv[2]) : 60;

    QString path;
    int master = -1, slave = -1;
    SimDevice::Behaviour usb;
    usb.modemLines = true;
    usb.modemWait = true;
    usb.outCapacity = 4096;
    usb.drainPerMs = 1000;
    SimDevice sim(QStringLiteral("/sim/ttyACM0"), usb);
    if (kind == QLatin1String("sim")) {
        path = sim.path();
        sim.setModemLines(true, true);
    } else {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) < 0) {
            perror("openpty");
            return 1;
        }
        path = QString::fromLocal8Bit(name);
    }
    QextSerialPort port(path, EventIo);
    port.setBaudRate(BaudRateType(131072));
    port.setFlowControl(FlowOff);
    if (!port.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        fprintf(stderr, "cannot open %s: %s\n", qPrintable(path), qPrintable(port.errorString()));
        return 1;
    }
    QObject::connect(
        &port, &QIODevice::readyRead, &port, [&port] { port.readAll(); }, Qt::DirectConnection);
    port.write("VE\r\n"); // one exchange, as a connected worker makes, then nothing

    const double before = cpuSeconds();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double used = cpuSeconds() - before;
    printf("%s: %d s idle, %.3f s CPU (%.3f %% of one core)\n", qPrintable(kind), seconds, used,
           100.0 * used / seconds);
    port.close();
    if (master >= 0) {
        ::close(master);
        ::close(slave);
    }
    return 0;
}
