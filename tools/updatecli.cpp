#include "updatecli.h"

#include "cliprompts.h"
#include "portlister.h"
#include "resultcodes.h"
#include "timescale.h"
#include "updatecontroller.h"
#include "updatejournal.h"
#include "updatestation.h"
#include "usersdatastore.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>
#include <algorithm>
#include <cstdlib>

namespace
{
// Longest the consoles take to answer their first queries, all of them side by side.
const int readLimitMs = 30000;

const char* const usageText =
    "usage: brenvik-update list [--json]\n"
    "       brenvik-update update [--port PATH]... [--serial SN]... [--all] [--rescue] [--yes]\n"
    "                             [--release DIR] [--json]\n"
    "       brenvik-update restore --serial SN [--yes] [--json]\n"
    "       brenvik-update history [--json]\n"
    "Updates the firmware of Brenvik consoles attached by USB, keeping their users' data.\n"
    "  list       the consoles attached: port, serial number, version, application or\n"
    "             loader, and whether kept users' data wait to go back\n"
    "  update     the whole update of the consoles named (--port, --serial), of every one\n"
    "             attached (--all), or of the only one attached; side by side\n"
    "  restore    sends back the kept users' data of an update that did not complete\n"
    "  history    the updates made on this computer, newest first\n"
    "  --rescue   update a console found in its loader (its users' data cannot be saved)\n"
    "  --yes      do not ask before starting\n"
    "  --release DIR  the release folder (versions.ini and the image); default: the\n"
    "             installed one\n"
    "  --json     one JSON object per line (see brenvik-update(1))\n"
    "  -h, --help show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 every console ended well; 1 an update or restore failed; 2 bad input,\n"
    "nothing started; 3 stopped by Ctrl-C at a safe point; 4 declined; 5 a second Ctrl-C.\n";

QString phaseStep(UpdatePhase phase)
{
    switch (phase) {
    case UpdatePhase::NotStarted:
    case UpdatePhase::SavingUsersData:
        return QStringLiteral("saving-users-data");
    case UpdatePhase::SendingImage:
        return QStringLiteral("sending-image");
    case UpdatePhase::AwaitingReflash:
        return QStringLiteral("awaiting-reflash");
    case UpdatePhase::Restoring:
        break;
    }
    return QStringLiteral("restoring");
}
} // namespace

const char* UpdateCli::usage()
{
    return usageText;
}

UpdateCli::UpdateCli(std::FILE* out, std::FILE* err, bool terminal, QObject* parent)
    : QObject(parent), out(out), err(err),
      printer(out, terminal ? CliPrinter::Form::Bars : CliPrinter::Form::Lines)
{
}

UpdateCli::~UpdateCli()
{
    // Stations end their workers' threads before the prompts they use go.
    for (auto& t : targets)
        delete t->station;
}

bool UpdateCli::refuse(const QString& line)
{
    badInput(line);
    return false;
}

int UpdateCli::badInput(const QString& line)
{
    std::fprintf(err, "brenvik-update: %s\n", line.toLocal8Bit().constData());
    std::fflush(err);
    return BadInput;
}

bool UpdateCli::parse(const QStringList& args, QString* why)
{
    opts = Options();
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--port") || a == QLatin1String("--serial") ||
            a == QLatin1String("--release")) {
            if (!hasValue) {
                *why = a + QLatin1String(" needs a value");
                return false;
            }
            const QString v = args.at(++i);
            if (a == QLatin1String("--port"))
                opts.ports << v;
            else if (a == QLatin1String("--serial"))
                opts.serials << v.trimmed();
            else
                opts.release = v;
        } else if (a == QLatin1String("--all")) {
            opts.all = true;
        } else if (a == QLatin1String("--rescue")) {
            opts.rescue = true;
        } else if (a == QLatin1String("--yes") || a == QLatin1String("-y")) {
            opts.yes = true;
        } else if (a == QLatin1String("--json")) {
            opts.json = true;
        } else if (opts.command.isEmpty() && !a.startsWith(QLatin1Char('-'))) {
            opts.command = a;
        } else {
            *why = QStringLiteral("unknown argument %1 (see --help)").arg(a);
            return false;
        }
    }
    const QStringList commands{QStringLiteral("list"), QStringLiteral("update"),
                               QStringLiteral("restore"), QStringLiteral("history")};
    if (!commands.contains(opts.command)) {
        *why = opts.command.isEmpty() ? QStringLiteral("no command given (see --help)")
                                      : QStringLiteral("unknown command %1").arg(opts.command);
        return false;
    }
    if (opts.all && (!opts.ports.isEmpty() || !opts.serials.isEmpty())) {
        *why = QStringLiteral("--all names every console: leave out --port and --serial");
        return false;
    }
    return true;
}

int UpdateCli::run(const QStringList& args)
{
    QString why;
    if (!parse(args, &why))
        return badInput(why);
    if (opts.json)
        printer = CliPrinter(out, CliPrinter::Form::Json);
    if (opts.command == QLatin1String("list"))
        return list();
    if (opts.command == QLatin1String("history"))
        return history();
    if (opts.command == QLatin1String("restore"))
        return restore();
    return update();
}

// ---- Consoles ----

UpdateCli::Target* UpdateCli::addTarget(const QString& port)
{
    auto t = std::make_unique<Target>();
    Target* raw = t.get();
    raw->port = port;
    raw->prompts =
        std::make_unique<CliPrompts>(&printer, [this, raw](QString* console, QString* where) {
            *console = nameOf(raw);
            *where = raw->station->port();
        });
    raw->station =
        new UpdateStation(raw->prompts.get(), &release, &PortLister::consolePorts, &restarts);
    targets.push_back(std::move(t));
    return raw;
}

bool UpdateCli::readConsoles(const QStringList& ports)
{
    QEventLoop reading;
    int pending = ports.size();
    for (const QString& port : ports) {
        Target* t = addTarget(port);
        connect(t->station, &UpdateStation::consoleRead, &reading, [t, &pending, &reading] {
            t->read = true;
            if (--pending == 0)
                reading.quit();
        });
        connect(t->station, &UpdateStation::unreachable, &reading,
                [t, &pending, &reading](const QString& why) {
                    t->unreachable = why.isEmpty() ? QStringLiteral("could not be opened") : why;
                    if (--pending == 0)
                        reading.quit();
                });
        t->station->readConsole(port);
    }
    if (pending == 0)
        return true;
    QTimer::singleShot(TimeScale::ms(readLimitMs), &reading, &QEventLoop::quit);
    reading.exec();
    for (auto& t : targets) {
        disconnect(t->station, nullptr, &reading, nullptr);
        if (!t->read && t->unreachable.isEmpty())
            t->unreachable = QStringLiteral("did not answer within %1 s").arg(readLimitMs / 1000);
    }
    return pending == 0;
}

QString UpdateCli::serialOf(const Target* t) const
{
    const UpdateController* c = t->station->updateController();
    const QString serial = c->isRunning() ? c->runSerial() : c->consoleIdentity().serialNumber;
    return serial.trimmed();
}

QString UpdateCli::versionOf(const Target* t) const
{
    return t->station->updateController()->consoleIdentity().firmwareVersion.trimmed();
}

QString UpdateCli::nameOf(const Target* t) const
{
    const QString serial = serialOf(t);
    return serial.isEmpty() ? t->port : serial;
}

bool UpdateCli::isConsole(const Target* t) const
{
    return t->read &&
           (t->station->consoleInLoader() || !serialOf(t).isEmpty() || !versionOf(t).isEmpty());
}

// ---- list and history ----

int UpdateCli::list()
{
    QStringList ports = PortLister::consolePorts();
    ports.sort();
    if (ports.isEmpty()) {
        printer.note(QStringLiteral("No console attached."));
        return Ok;
    }
    readConsoles(ports);
    const QStringList names{QStringLiteral("port"), QStringLiteral("serial"),
                            QStringLiteral("version"), QStringLiteral("mode"),
                            QStringLiteral("restorePending")};
    QList<QStringList> rows;
    for (auto& t : targets) {
        UpdateJournal::Entry pending;
        QString mode = t->station->consoleInLoader() ? QStringLiteral("loader")
                                                     : QStringLiteral("application");
        if (!isConsole(t.get()))
            mode = QStringLiteral("unreachable: ") +
                   (t->unreachable.isEmpty() ? QStringLiteral("not a console") : t->unreachable);
        const bool restorePending = t->station->updateController()->pendingRestore(&pending);
        rows << QStringList{t->port, serialOf(t.get()), versionOf(t.get()), mode,
                            restorePending ? QStringLiteral("yes: ") + pending.usersFile
                                           : QStringLiteral("no")};
        t->station->disconnectPort();
    }
    printer.table(names,
                  {QStringLiteral("PORT"), QStringLiteral("SERIAL"), QStringLiteral("VERSION"),
                   QStringLiteral("MODE"), QStringLiteral("RESTORE PENDING")},
                  rows);
    return Ok;
}

int UpdateCli::history()
{
    const QStringList names{QStringLiteral("when"),    QStringLiteral("console"),
                            QStringLiteral("release"), QStringLiteral("result"),
                            QStringLiteral("code"),    QStringLiteral("keptCopy")};
    const QList<UpdateJournal::Entry> entries = UpdateJournal::all();
    QList<QStringList> rows;
    if (entries.isEmpty())
        printer.note(QStringLiteral("No update was made on this computer."));
    for (const UpdateJournal::Entry& e : entries) {
        QString result;
        if (!e.isFinished())
            result = QStringLiteral("unfinished (%1)").arg(UpdateJournal::phaseName(e.phase));
        else
            result = e.succeeded ? QStringLiteral("ok") : QStringLiteral("failed");
        const bool kept = !e.usersFile.isEmpty() && QFileInfo(e.usersFile).isFile();
        rows << QStringList{e.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                            e.identity.serialNumber.isEmpty() ? QStringLiteral("unknown")
                                                              : e.identity.serialNumber,
                            e.release.isEmpty() ? QStringLiteral("-") : e.release,
                            result,
                            QString::number(e.resultCode),
                            kept ? e.usersFile : QStringLiteral("-")};
    }
    printer.table(names,
                  {QStringLiteral("WHEN"), QStringLiteral("CONSOLE"), QStringLiteral("RELEASE"),
                   QStringLiteral("RESULT"), QStringLiteral("CODE"), QStringLiteral("KEPT COPY")},
                  rows);
    return Ok;
}

// ---- update and restore ----

bool UpdateCli::loadRelease()
{
    const QString folder = opts.release.isEmpty() ? FirmwareRelease::defaultFolder() : opts.release;
    if (release.read(folder))
        return true;
    badInput(QStringLiteral("release missing or malformed: ") + release.problem());
    return false;
}

bool UpdateCli::chooseTargets(std::vector<Target*>* chosen)
{
    QStringList ports = opts.ports;
    for (const QString& p : ports)
        if (!QFileInfo::exists(p))
            return refuse(QStringLiteral("%1: no such port").arg(p));
    // Two names of one device (a link and its device, or one given twice).
    QStringList devices;
    for (const QString& p : ports) {
        const QString device = QFileInfo(p).canonicalFilePath();
        if (devices.contains(device))
            return refuse(QStringLiteral("two updates asked for one console: %1").arg(p));
        devices << device;
    }
    if (ports.isEmpty()) {
        ports = PortLister::consolePorts();
        ports.sort();
    }
    if (ports.isEmpty())
        return refuse(QStringLiteral("no console attached"));
    readConsoles(ports);

    for (auto& t : targets) {
        const bool named = !opts.ports.isEmpty() || opts.all ||
                           (opts.serials.isEmpty() && targets.size() == 1) ||
                           opts.serials.contains(serialOf(t.get()));
        if (!named)
            continue;
        // A port of the system's list that is not a console is left out of --all.
        if (opts.all && !isConsole(t.get())) {
            printer.note(QStringLiteral("%1: left out: %2")
                             .arg(t->port, t->unreachable.isEmpty()
                                               ? QStringLiteral("not a console")
                                               : t->unreachable));
            continue;
        }
        chosen->push_back(t.get());
    }
    if (opts.ports.isEmpty() && opts.serials.isEmpty() && !opts.all && targets.size() > 1)
        return refuse(QStringLiteral("%1 consoles attached: name one with --port or --serial, "
                                     "or update them all with --all")
                          .arg(targets.size()));
    QStringList seen;
    for (const QString& serial : opts.serials) {
        if (seen.contains(serial))
            return refuse(QStringLiteral("two updates asked for console %1").arg(serial));
        seen << serial;
        bool found = false;
        for (const Target* t : *chosen)
            found = found || serialOf(t) == serial;
        if (!found)
            return refuse(
                QStringLiteral("no console with serial number %1 is attached").arg(serial));
    }
    // One console may answer on two ports the system lists (a link and its device).
    seen.clear();
    for (const Target* t : *chosen) {
        const QString serial = serialOf(t);
        if (!serial.isEmpty() && seen.contains(serial))
            return refuse(QStringLiteral("two updates asked for console %1").arg(serial));
        seen << serial;
    }
    if (chosen->empty())
        return refuse(QStringLiteral("no console to update"));
    return true;
}

void UpdateCli::keepOnly(const std::vector<Target*>& chosen)
{
    // The other consoles' ports are left at once, for other programs to use.
    auto unchosen = [&chosen](const std::unique_ptr<Target>& t) {
        if (std::find(chosen.begin(), chosen.end(), t.get()) != chosen.end())
            return false;
        delete t->station;
        return true;
    };
    targets.erase(std::remove_if(targets.begin(), targets.end(), unchosen), targets.end());
}

bool UpdateCli::checkTarget(Target* t)
{
    if (!isConsole(t))
        return refuse(QStringLiteral("%1: not a Brenvik console (%2)")
                          .arg(t->port, t->unreachable.isEmpty()
                                            ? QStringLiteral("no answer to its queries")
                                            : t->unreachable));
    if (t->station->consoleInLoader() && !opts.rescue)
        return refuse(QStringLiteral("%1: the console is in its loader and its users' data "
                                     "cannot be saved; add --rescue to update it anyway")
                          .arg(t->port));
    UpdateJournal::Entry pending;
    if (t->station->updateController()->pendingRestore(&pending))
        return refuse(QStringLiteral("%1: users' data of an earlier update, kept in %2, wait "
                                     "to go back; run 'brenvik-update restore --serial %1' "
                                     "first")
                          .arg(serialOf(t), pending.usersFile));
    return true;
}

bool UpdateCli::confirm(const QString& question)
{
    if (opts.yes)
        return true;
    std::fprintf(err, "%s [y/N] ", question.toLocal8Bit().constData());
    std::fflush(err);
    QTextStream in(stdin);
    const QString answer = in.readLine().trimmed().toLower();
    return answer == QLatin1String("y") || answer == QLatin1String("yes");
}

int UpdateCli::update()
{
    if (!loadRelease())
        return BadInput;
    std::vector<Target*> chosen;
    if (!chooseTargets(&chosen))
        return BadInput;
    keepOnly(chosen);
    int inLoader = 0;
    for (Target* t : chosen) {
        if (!checkTarget(t))
            return BadInput;
        inLoader += t->station->consoleInLoader();
    }
    // A loader does not tell its serial number: kept users' data offered to one console in its
    // loader could as well be another's.
    UpdateJournal::Entry rescuable;
    if (inLoader > 1 &&
        UpdateJournal::findRescuable(QString(), UsersDataStore::folder(), &rescuable))
        return badInput(QStringLiteral("%1 consoles are in their loader and users' data of an "
                                       "unfinished update (%2) may be one of theirs: update "
                                       "them one at a time")
                            .arg(inLoader)
                            .arg(rescuable.identity.serialNumber));

    printer.note(QStringLiteral("Release %1 (%2) from %3")
                     .arg(release.full(), release.date(), release.folder()));
    for (const Target* t : chosen) {
        const bool rescue = opts.rescue || release.forced();
        QString what = rescue ? QStringLiteral("its users' data are NOT kept")
                              : QStringLiteral("its users' data are kept and put back");
        if (t->station->consoleInLoader())
            what = QStringLiteral("in its loader; users' data kept by an unfinished update "
                                  "are put back when there are any");
        printer.note(QStringLiteral("  %1  %2  %3 -> %4: %5")
                         .arg(t->port, nameOf(t),
                              versionOf(t).isEmpty() ? QStringLiteral("?") : versionOf(t),
                              release.full(), what));
    }
    if (!confirm(QStringLiteral("Update %1 console(s)?").arg(chosen.size()))) {
        printer.note(QStringLiteral("Nothing was changed."));
        return Declined;
    }
    for (Target* t : chosen) {
        t->prompts->setAnswer(true);
        watch(t);
        UpdateController* c = t->station->updateController();
        if (t->station->consoleInLoader())
            c->offerRescueRestore();
        t->started = t->station->update(opts.rescue);
        if (!t->started && !t->ended)
            ended(t, UpdateResult{ResultCode::NoAnswerFromConsole,
                                  UpdateStep::Started,
                                  QStringLiteral("The update could not start."),
                                  {},
                                  {}});
    }
    return waitForRuns();
}

int UpdateCli::restore()
{
    if (opts.serials.size() != 1 || !opts.ports.isEmpty() || opts.all)
        return badInput(QStringLiteral("restore takes one --serial SN"));
    const QStringList ports = PortLister::consolePorts();
    if (ports.isEmpty())
        return badInput(QStringLiteral("no console attached"));
    readConsoles(ports);
    Target* t = nullptr;
    for (auto& candidate : targets)
        if (serialOf(candidate.get()) == opts.serials.first())
            t = candidate.get();
    if (!t)
        return badInput(QStringLiteral("no console with serial number %1 is attached")
                            .arg(opts.serials.first()));
    keepOnly({t});
    UpdateJournal::Entry pending;
    if (!t->station->updateController()->pendingRestore(&pending))
        return badInput(QStringLiteral("%1: no kept users' data wait to go back to this console")
                            .arg(serialOf(t)));
    printer.note(QStringLiteral("  %1  %2: the users' data kept in %3 go back; the data now on "
                                "it are kept first in %4")
                     .arg(t->port, serialOf(t), pending.usersFile, UsersDataStore::folder()));
    if (!confirm(QStringLiteral("Restore the users' data of console %1?").arg(serialOf(t)))) {
        printer.note(QStringLiteral("Nothing was changed."));
        return Declined;
    }
    t->prompts->setAnswer(true);
    watch(t);
    t->started = t->station->restore();
    if (!t->started && !t->ended)
        return badInput(QStringLiteral("%1: the restore could not start").arg(serialOf(t)));
    return waitForRuns();
}

// ---- Runs ----

QString UpdateCli::stepName(const Target* t) const
{
    return phaseStep(t->station->updateController()->phase());
}

void UpdateCli::watch(Target* t)
{
    UpdateStation* s = t->station;
    connect(s, &UpdateStation::progress, this,
            [this, t](int percent) { progressed(t, percent, QString()); });
    connect(s, &UpdateStation::status, this,
            [this, t](const QString& text) { progressed(t, t->station->percent(), text); });
    connect(s, &UpdateStation::finished, this,
            [this, t](const UpdateResult& result) { ended(t, result); });
}

void UpdateCli::progressed(Target* t, int percent, const QString& status)
{
    if (t->ended || !t->station->updateController()->isRunning())
        return;
    CliPrinter::Event e;
    e.console = nameOf(t);
    e.port = t->station->port();
    e.step = stepName(t);
    e.progress = percent;
    e.text = status;
    printer.event(e);
}

void UpdateCli::ended(Target* t, const UpdateResult& result)
{
    t->ended = true;
    t->result = result;
    CliPrinter::Event e;
    e.console = nameOf(t);
    e.port = t->port;
    e.code = result.code;
    const bool stopped =
        result.code == ResultCode::StoppedByUser || result.code == ResultCode::StoppedInLoader;
    e.step = result.ok() ? QStringLiteral("done")
                         : (stopped ? QStringLiteral("stopped") : QStringLiteral("failed"));
    if (result.ok())
        e.progress = 100;
    QString text =
        result.ok() ? QStringLiteral("Operations are successfully terminated!") : result.detail;
    if (!result.ok() && text.isEmpty())
        text = QStringLiteral("Transfer Failed with error %1").arg(result.code);
    if (!result.keptCopy.isEmpty())
        text += QStringLiteral("\nThe Users Settings and Data of the Device are kept in:\n%1")
                    .arg(result.keptCopy);
    e.text = (text + result.notes).trimmed();
    printer.event(e);
    if (loop)
        loop->quit();
}

int UpdateCli::waitForRuns()
{
    QEventLoop waiting;
    loop = &waiting;
    for (;;) {
        bool running = false;
        for (auto& t : targets)
            running = running || (t->started && !t->ended);
        if (!running || interrupts >= 2)
            break;
        waiting.exec();
    }
    loop = nullptr;
    printer.flushBars();
    if (interrupts >= 2)
        return Interrupted;
    bool failed = false;
    bool stopped = false;
    for (auto& t : targets) {
        if (!t->started && !t->ended)
            continue;
        stopped = stopped || t->result.code == ResultCode::StoppedByUser ||
                  t->result.code == ResultCode::StoppedInLoader;
        failed = failed || !t->result.ok();
    }
    if (interrupts > 0 && stopped)
        return Stopped;
    return failed ? Failed : Ok;
}

void UpdateCli::interrupt()
{
    ++interrupts;
    bool running = false;
    for (auto& t : targets)
        running = running || (t->started && !t->ended);
    // Before any run started nothing needs a safe point: the consoles were only read.
    if (!running && !loop) {
        std::fprintf(err, "brenvik-update: interrupted; nothing was changed\n");
        std::fflush(err);
        std::_Exit(Stopped);
    }
    if (interrupts == 1) {
        printer.note(QStringLiteral("Stopping every update at its next safe point (Ctrl-C again "
                                    "to end at once)..."));
        for (auto& t : targets)
            if (t->started && !t->ended)
                t->station->stop();
        return;
    }
    sayWhatStands();
    if (loop)
        loop->quit();
}

void UpdateCli::sayWhatStands()
{
    for (auto& t : targets) {
        if (!t->started || t->ended)
            continue;
        const UpdateController* c = t->station->updateController();
        const QString serial = nameOf(t.get());
        const QString port = t->station->port();
        const QString kept = c->usersDataPath();
        QString text;
        if (c->step() >= UpdateStep::ImageSent) {
            text = QStringLiteral("the image is in and the console re-flashes. When it is back, "
                                  "run: brenvik-update restore --serial %1")
                       .arg(serial);
        } else if (c->phase() >= UpdatePhase::SendingImage) {
            text = QStringLiteral("the console may be in its loader. Bring it back with: "
                                  "brenvik-update update --port %1 --rescue (its kept users' "
                                  "data go back after it)")
                       .arg(port);
        } else {
            text = QStringLiteral("the console was not changed yet; if it does not answer, "
                                  "switch it off and on");
        }
        if (!kept.isEmpty())
            text += QStringLiteral(". Its users' data are kept in %1").arg(kept);
        CliPrinter::Event e;
        e.console = serial;
        e.port = port;
        e.step = QStringLiteral("interrupted");
        e.code = ResultCode::StoppedByUser;
        e.text = text;
        printer.event(e);
    }
}
