// brenvik-update: the firmware update of Brenvik consoles from the command line, for one
// console or every console attached (see UpdateCli and brenvik-update(1)).
#include "commandline.h"
#include "updatecli.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{
int interruptPipe[2] = {-1, -1};

void onInterrupt(int)
{
    const int saved = errno;
    const char byte = 1;
    if (::write(interruptPipe[1], &byte, 1) < 0) {
        // Nothing to do: a full pipe already holds an interrupt.
    }
    errno = saved;
}

// The updater's trace (what the window's debug console shows) goes to a file of its own, so
// that standard output carries only what this program says.
QString traceToFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                           QStringLiteral("/trace");
    if (!QDir().mkpath(folder))
        return QString();
    const QString path =
        folder + QStringLiteral("/brenvik-update_%1.log")
                     .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return QString();
    std::fflush(stdout);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
    return path;
}

void messageToTrace(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    std::FILE* to = type >= QtCriticalMsg ? stderr : stdout;
    std::fprintf(to, "%s\n", text.toLocal8Bit().constData());
    std::fflush(to);
}
} // namespace

int main(int argc, char* argv[])
{
    if (CommandLine::answer(argc, argv, "brenvik-update", UpdateCli::usage()))
        return UpdateCli::Ok;
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brenvik"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brenvik.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Updater"));

    const int outFd = ::dup(STDOUT_FILENO);
    std::FILE* out = outFd >= 0 ? ::fdopen(outFd, "w") : nullptr;
    if (!out)
        return UpdateCli::BadInput;
    const bool terminal = ::isatty(outFd) == 1;
    const QString trace = traceToFile();
    qInstallMessageHandler(messageToTrace);

    UpdateCli cli(out, stderr, terminal);
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto* notifier = new QSocketNotifier(interruptPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &cli, [&cli] {
            char bytes[16];
            while (::read(interruptPipe[0], bytes, sizeof bytes) > 0) {
            }
            cli.interrupt();
        });
        struct sigaction action = {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    const int status = cli.run(app.arguments().mid(1));
    if (!trace.isEmpty() && status != UpdateCli::Ok && status != UpdateCli::BadInput)
        std::fprintf(stderr, "brenvik-update: the trace of this run is in %s\n",
                     trace.toLocal8Bit().constData());
    std::fflush(out);
    return status;
}
