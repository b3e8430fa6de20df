// Many whole updates of one simulated console in one process, one command line run after the
// other: prints the open descriptors, threads and resident memory after each, so that a leak
// shows as a column that keeps growing. A benchmark, built with the time seam of the tests.
//
//   soak-updates RELEASE_DIR COUNT     (the console's port comes from UPDATER_EXTRA_PORTS)
#include "portlister.h"
#include "updatecli.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>

namespace
{
long statusValue(const char* key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs)
                   .size());
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brenvik"));
    QCoreApplication::setApplicationName(QStringLiteral("Updater"));
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: soak-updates RELEASE_DIR COUNT\n");
        return 2;
    }
    const int count = args.at(2).toInt();
    std::FILE* quiet = std::fopen("/dev/null", "w");
    // The table goes to standard error: standard output carries the updater's trace.
    std::fprintf(stderr, "update  status  seconds  descriptors  threads  rss_kib\n");
    int failures = 0;
    for (int i = 1; i <= count; ++i) {
        QElapsedTimer clock;
        clock.start();
        // The console restarts at the end of each update: the next starts once it is back.
        while (PortLister::consolePorts().isEmpty() && clock.elapsed() < 30000)
            QThread::msleep(100);
        clock.restart();
        int status = 0;
        {
            UpdateCli cli(quiet, stderr, false);
            status = cli.run({QStringLiteral("update"), QStringLiteral("--yes"),
                              QStringLiteral("--release"), args.at(1)});
        }
        // Whatever the run posted for later (deferred deletes) goes before the reading.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        failures += status != 0;
        std::fprintf(stderr, "%6d  %6d  %7.1f  %11d  %7ld  %7ld\n", i, status,
                     clock.elapsed() / 1000.0, openDescriptors(), statusValue("Threads:"),
                     statusValue("VmRSS:"));
    }
    std::fclose(quiet);
    return failures == 0 ? 0 : 1;
}
