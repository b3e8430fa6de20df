#include "simconsole.h"
#include "simoptions.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

namespace
{
SimConsole* running = nullptr;

void onSignal(int)
{
    // Only an atomic store: safe inside a signal handler.
    if (running)
        running->stop();
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        std::fputs(qPrintable(SimOptions::usage()), stdout);
        return 0;
    }
    SimOptions options;
    QString error;
    if (!options.parse(args, &error)) {
        std::fprintf(stderr, "sim-console: %s\n%s", qPrintable(error),
                     qPrintable(SimOptions::usage()));
        return 2;
    }

    SimConsole console(options);
    if (!console.open(&error)) {
        std::fprintf(stderr, "sim-console: %s\n", qPrintable(error));
        return 1;
    }
    console.setPathChanged([](const QString& path) {
        std::printf("%s\n", qPrintable(path));
        std::fflush(stdout);
    });
    std::printf("%s\n", qPrintable(console.slavePath()));
    std::fflush(stdout);

    running = &console;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    console.run();
    running = nullptr;
    // A hang-up without a replug ends the console like a pulled cable ends the line.
    return console.state() == SimConsole::State::HungUp ? 3 : 0;
}
