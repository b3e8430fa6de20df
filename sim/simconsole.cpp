#include "simconsole.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cstdio>

namespace
{
const char UsersDbPath[] = "/BrenvikDATA";
const char ModulePath[] = "/R-BTM093004_.cyacd";
const char RenamedModulePath[] = "/R-BTM093004.cyacd";
const char ImageFile[] = "firmware.bin";
const char StateFile[] = "state.json";
const char LogFile[] = "console.log";
const char LinkPrefix[] = "ttyACM";
const char Prompt[] = "> ";
// What a trickling console lets out now and then: line noise, no YMODEM byte.
const char StrayByte = char(0xFF);
// Longest command line kept; anything longer is line noise.
constexpr int MaxLine = 512;
// How long one pass of the command loop waits for input.
constexpr int IdleReadMs = 200;
// A shell "receive file" with no sender gives up after this long.
constexpr int ShellReceiveGiveUpMs = 60000;

// A small bootloadable module image: a header row and a few data rows. Every image brings it.
const char ModuleImage[] = "0E1A1069000100\r\n"
                           ":00000000400020003B0600004B0700004D070000000000000000000000\r\n"
                           ":00000001400000000000000000000000000000000000000000000000A5\r\n"
                           ":000000024000000000000000000000004F0700004F0700000000000067\r\n";
} // namespace

const SimConsole::ShellCommand SimConsole::shellCommands[] = {
    {"exit", 1, &SimConsole::shellExit},       {"reset", 1, &SimConsole::shellReset},
    {"send", 3, &SimConsole::shellSend},       {"receive", 2, &SimConsole::shellReceive},
    {"rm", 2, &SimConsole::shellRemove},       {"mv", 3, &SimConsole::shellMove},
    {"spi", 3, &SimConsole::shellEraseSector}, {"ls", 1, &SimConsole::shellList},
};

SimConsole::SimConsole(const SimOptions& options) : opts(options), store(opts.dir), ymodem(pty)
{
    record.version = opts.version;
    record.serialNumber = opts.serialNumber();
    record.state = opts.startInLoader ? State::Loader : State::Application;
    record.sectorErased = opts.startInLoader;
    ymodem.setCheckpoint([this](const QString& step) { return checkpoint(step); });
}

SimConsole::~SimConsole()
{
    stop();
    pty.close();
}

void SimConsole::beginTransfer(const QString& kind)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        transferKind = kind;
    }
    SimYmodem::Faults f;
    if (faultsApply(kind)) {
        f.cancelBlock = opts.cancelBlock;
        f.nakBlock = opts.nakBlock;
        f.corruptBlock = opts.corruptBlock;
    }
    ymodem.setFaults(f);
}

bool SimConsole::faultsApply(const QString& kind) const
{
    return opts.faultTransfer == QLatin1String("any") || opts.faultTransfer == kind;
}

// Never a proper start, whatever the peer sends: the bound has to be the peer's own.
bool SimConsole::trickleInstead(const QString& kind)
{
    if (!opts.trickle || !faultsApply(kind))
        return false;
    log(QStringLiteral("%1: trickling stray bytes instead").arg(kind));
    const int every = opts.scaled(opts.pollMs);
    while (!stoppedOrGone()) {
        pty.drain(every + 1, every);
        if (stoppedOrGone())
            break;
        pty.write(QByteArray(1, StrayByte));
    }
    finishTransfer(kind, SimYmodem::Outcome::Stopped, QStringLiteral("trickled, never started"),
                   QString());
    return true;
}

// ---- public, thread-safe -------------------------------------------------------------------

QString SimConsole::slavePath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.device;
}

QString SimConsole::portPath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.link.isEmpty() ? record.device : record.link;
}

SimConsole::State SimConsole::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.state;
}

int SimConsole::resetCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.resetCount;
}

QString SimConsole::currentVersion() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.version;
}

QString SimConsole::statePath() const
{
    return store.recordPath(QLatin1String(StateFile));
}

QString SimConsole::filePath(const QString& consolePath) const
{
    return store.resolve(consolePath, nullptr);
}

QJsonObject SimConsole::status() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return record.toJson(store);
}

void SimConsole::setPathChanged(std::function<void(const QString&)> callback)
{
    pathChanged = std::move(callback);
}

bool SimConsole::open(QString* error)
{
    if (!prepareFiles(error) || !plugIn(error))
        return false;
    log(QStringLiteral("console %1 on %2 in state %3, version %4")
            .arg(opts.serialNumber(), portPath(), stateName(state()), opts.version));
    saveStatus();
    return true;
}

bool SimConsole::start(QString* error)
{
    if (!open(error))
        return false;
    worker = std::thread([this] { run(); });
    return true;
}

void SimConsole::stop()
{
    pty.stop();
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id())
        worker.join();
}

// ---- the main loop -------------------------------------------------------------------------

bool SimConsole::stoppedOrGone() const
{
    const State s = state();
    return pty.stopped() || s == State::Silent || s == State::HungUp;
}

void SimConsole::run()
{
    bool skipLf = false;
    while (!pty.stopped()) {
        const State s = state();
        if (s == State::Loader) {
            runLoader();
            continue;
        }
        if (s == State::Silent) {
            pty.readByte(IdleReadMs); // falls on deaf ears
            continue;
        }
        if (s == State::HungUp) {
            // The pulled cable: plugged in again only when asked.
            if (opts.replugAfterMs < 0 || !pty.sleep(opts.replugAfterMs))
                break;
            QString why;
            if (!plugIn(&why)) {
                log(QStringLiteral("replug failed: %1").arg(why));
                break;
            }
            std::unique_lock<std::mutex> lock(mutex);
            const bool erased = record.sectorErased;
            lock.unlock();
            setState(erased ? State::Loader : State::Application);
            continue;
        }
        const int c = pty.readByte(IdleReadMs);
        if (c == SimPty::Closed || c == SimPty::Timeout)
            continue;
        const char ch = char(c);
        if (ch == '\r' || ch == '\n') {
            if (ch == '\n' && skipLf) {
                skipLf = false;
                continue;
            }
            skipLf = ch == '\r';
            const QByteArray line = lineBuf;
            lineBuf.clear();
            handleLine(line);
            continue;
        }
        skipLf = false;
        if (lineBuf.size() < MaxLine)
            lineBuf.append(ch);
    }
    if (state() != State::HungUp && state() != State::Silent)
        setState(State::Stopped);
    else
        saveStatus();
}

void SimConsole::handleLine(const QByteArray& line)
{
    const State s = state();
    if (s == State::Application) {
        if (handleInfo(line.trimmed()))
            return;
        if (line.trimmed() == "SHELL") {
            log(QStringLiteral("rx SHELL"));
            if (!checkpoint(QStringLiteral("shell")))
                return;
            setState(State::Shell);
            pty.write("\r\nBrenvik console shell\r\n");
            prompt();
            return;
        }
        if (!line.trimmed().isEmpty())
            log(QStringLiteral("application ignores \"%1\"").arg(QString::fromLatin1(line)));
        return;
    }
    if (s == State::Shell)
        handleShellLine(line);
}

bool SimConsole::handleInfo(const QByteArray& command)
{
    QString text;
    if (command == "VE")
        text = currentVersion();
    else if (command == "BV")
        text = opts.bv;
    else if (command == "KI")
        text = opts.ki;
    else if (command == "CA")
        text = opts.ca;
    else if (command == "SN")
        text = opts.sn;
    else
        return false;
    writeReply(command, text);
    return true;
}

void SimConsole::writeReply(const QByteArray& command, const QString& text)
{
    log(QStringLiteral("rx %1").arg(QString::fromLatin1(command)));
    if (!checkpoint(QStringLiteral("reply:") + QString::fromLatin1(command)))
        return;
    if (opts.replyDelayMs > 0 && !pty.sleep(opts.scaled(opts.replyDelayMs)))
        return;
    pty.write(opts.replyJunk + text.toLatin1() + "\r\n");
}

void SimConsole::prompt()
{
    pty.write(Prompt);
}

// ---- the shell -----------------------------------------------------------------------------

void SimConsole::handleShellLine(const QByteArray& raw)
{
    const QByteArray line = raw.simplified();
    if (line.isEmpty()) {
        prompt();
        return;
    }
    if (handleInfo(line))
        return;
    const QList<QByteArray> words = line.split(' ');
    const QByteArray& word = words.first();
    log(QStringLiteral("shell: %1").arg(QString::fromLatin1(line)));
    if (line == "SHELL") {
        if (checkpoint(QStringLiteral("shell")))
            prompt();
        return;
    }
    if (!checkpoint(QStringLiteral("cmd:") + QString::fromLatin1(word).toLower()))
        return;
    for (const ShellCommand& command : shellCommands) {
        if (word == command.word && words.size() == command.words && (this->*command.run)(words))
            return;
    }
    pty.write("unknown command: " + line + "\r\n");
    prompt();
}

bool SimConsole::shellExit(const QList<QByteArray>&)
{
    setState(State::Application);
    return true;
}

bool SimConsole::shellReset(const QList<QByteArray>&)
{
    pty.write("resetting\r\n");
    update([](SimRecord& r) { ++r.resetCount; });
    restart();
    return true;
}

bool SimConsole::shellSend(const QList<QByteArray>& words)
{
    if (words[1] != "file")
        return false;
    sendFile(QString::fromUtf8(words[2]));
    return true;
}

bool SimConsole::shellReceive(const QList<QByteArray>& words)
{
    if (words[1] != "file")
        return false;
    receiveFile();
    return true;
}

bool SimConsole::shellRemove(const QList<QByteArray>& words)
{
    QString why;
    if (store.remove(QString::fromUtf8(words[1]), &why))
        log(QStringLiteral("removed %1").arg(QString::fromUtf8(words[1])));
    else
        pty.write("rm: " + why.toUtf8() + "\r\n");
    saveStatus();
    prompt();
    return true;
}

bool SimConsole::shellMove(const QList<QByteArray>& words)
{
    const QString from = QString::fromUtf8(words[1]), to = QString::fromUtf8(words[2]);
    QString why;
    if (store.rename(from, to, &why)) {
        log(QStringLiteral("moved %1 to %2").arg(from, to));
        if (from == QLatin1String(ModulePath) && to == QLatin1String(RenamedModulePath))
            update([](SimRecord& r) { r.moduleRenamed = true; });
    } else {
        pty.write("mv: " + why.toUtf8() + "\r\n");
    }
    saveStatus();
    prompt();
    return true;
}

bool SimConsole::shellEraseSector(const QList<QByteArray>& words)
{
    if (words[1] != "delsect")
        return false;
    bool ok = false;
    const int sector = words[2].toInt(&ok);
    if (!ok || sector < 0 || sector > 4095) {
        pty.write("spi: bad sector\r\n");
    } else {
        if (sector == 4095)
            update([](SimRecord& r) { r.sectorErased = true; });
        log(QStringLiteral("erased sector %1").arg(sector));
        pty.write("sector " + words[2] + " erased\r\n");
    }
    prompt();
    return true;
}

bool SimConsole::shellList(const QList<QByteArray>&)
{
    for (const SimFileStore::Entry& e : store.list())
        pty.write(QStringLiteral("%1 %2\r\n").arg(e.size, 10).arg(e.name.mid(1)).toUtf8());
    prompt();
    return true;
}

// ---- transfers -----------------------------------------------------------------------------

void SimConsole::finishTransfer(const QString& kind, SimYmodem::Outcome outcome,
                                const QString& detail, const QString& file)
{
    static const char* const names[] = {"done", "peer-cancelled", "we-cancelled", "failed",
                                        "stopped"};
    QJsonObject t;
    t[QStringLiteral("kind")] = kind;
    t[QStringLiteral("outcome")] = QLatin1String(names[int(outcome)]);
    t[QStringLiteral("detail")] = detail;
    t[QStringLiteral("file")] = file;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.lastTransfer = t;
        transferKind.clear();
    }
    log(QStringLiteral("%1 %2: %3").arg(kind, t[QStringLiteral("outcome")].toString(), detail));
    saveStatus();
}

void SimConsole::sendFile(const QString& consolePath)
{
    beginTransfer(QStringLiteral("send"));
    setState(State::Sending);
    if (trickleInstead(QStringLiteral("send")))
        return;
    SimYmodem::Outcome outcome;
    QString detail;
    QByteArray data;
    if (!store.read(consolePath, &data, &detail)) {
        // Nothing to send: the receiver's first request is refused with CAN CAN.
        const QString why = detail;
        outcome = ymodem.refuse(&detail);
        detail = QStringLiteral("%1; %2").arg(why, detail);
    } else {
        outcome = ymodem.send(consolePath, data, &detail);
        if (outcome == SimYmodem::Outcome::Done)
            update([](SimRecord& r) { ++r.filesSent; });
    }
    finishTransfer(QStringLiteral("send"), outcome, detail, consolePath);
    if (!stoppedOrGone())
        setState(State::Shell);
}

void SimConsole::receiveFile()
{
    beginTransfer(QStringLiteral("receive"));
    setState(State::Receiving);
    if (trickleInstead(QStringLiteral("receive")))
        return;
    SimYmodem::ReceiveSetup setup;
    setup.pollMs = opts.scaled(opts.pollMs);
    setup.giveUpMs = ShellReceiveGiveUpMs;
    setup.endWaitMs = qMax(500, opts.scaled(2000));
    QList<SimYmodem::File> files;
    QString detail;
    const SimYmodem::Outcome outcome = ymodem.receive(setup, &files, &detail);
    QStringList stored;
    for (const SimYmodem::File& file : files) {
        const QString name = QStringLiteral("/") + file.name;
        QString why;
        if (!store.write(name, file.data, &why)) {
            log(QStringLiteral("cannot store %1: %2").arg(file.name, why));
            continue;
        }
        stored << name;
        update([&name](SimRecord& r) {
            ++r.filesReceived;
            if (name == QLatin1String(UsersDbPath))
                ++r.usersDbReceived;
        });
    }
    finishTransfer(QStringLiteral("receive"), outcome, detail, stored.join(QLatin1Char(' ')));
    if (!stoppedOrGone())
        setState(State::Shell);
}

void SimConsole::restart()
{
    setState(State::Rebooting);
    if (!checkpoint(QStringLiteral("reboot")))
        return;
    // Whatever arrives while the console restarts is lost, a half line included.
    lineBuf.clear();
    if (opts.resetDropsLine) {
        if (!replug(opts.scaled(opts.resetAwayMs)))
            return;
    } else {
        pty.drain(opts.scaled(opts.rebootMs) + 1, opts.scaled(opts.rebootMs));
        if (stoppedOrGone())
            return;
    }
    bool toLoader = false;
    update([&toLoader](SimRecord& r) {
        ++r.bootCount;
        toLoader = r.sectorErased;
    });
    setState(toLoader ? State::Loader : State::Application);
}

void SimConsole::runLoader()
{
    if (!checkpoint(QStringLiteral("loader")))
        return;
    pty.drain(opts.scaled(opts.loaderQuietMs) + 1, opts.scaled(opts.loaderQuietMs));
    while (!stoppedOrGone() && state() == State::Loader) {
        beginTransfer(QStringLiteral("loader"));
        SimYmodem::ReceiveSetup setup;
        setup.pollMs = opts.scaled(opts.pollMs);
        setup.giveUpMs = -1;
        setup.headerAckDelayMs = opts.scaled(opts.eraseMs);
        setup.pollDuringHeaderDelay = opts.pollDuringErase;
        setup.endWaitMs = qMax(500, opts.scaled(2000));
        setup.onLine = [this](const QByteArray& line) {
            if (line.trimmed() != "VE")
                return true;
            log(QStringLiteral("loader: rx VE"));
            if (!checkpoint(QStringLiteral("reply:VE")))
                return false;
            pty.write("CCCC");
            return true;
        };
        QList<SimYmodem::File> files;
        QString detail;
        const SimYmodem::Outcome outcome = ymodem.receive(setup, &files, &detail);
        if (files.isEmpty()) {
            finishTransfer(QStringLiteral("loader"), outcome, detail, QString());
            if (!stoppedOrGone())
                pty.sleep(opts.scaled(opts.pollMs));
            continue;
        }
        const SimYmodem::File& image = files.first();
        QSaveFile out(store.recordPath(QLatin1String(ImageFile)));
        const bool stored = out.open(QIODevice::WriteOnly) &&
                            out.write(image.data) == image.data.size() && out.commit();
        finishTransfer(QStringLiteral("loader"), outcome,
                       stored ? detail : QStringLiteral("cannot store the image"),
                       QStringLiteral("/") + image.name);
        if (!stored)
            continue;
        setState(State::Programming);
        if (!checkpoint(QStringLiteral("program")))
            return;
        pty.drain(opts.scaled(opts.programMs) + 1, opts.scaled(opts.programMs));
        if (stoppedOrGone())
            return;
        if (opts.rejectImage) {
            // Refused after its check: the old firmware, never touched, starts again.
            update([&](SimRecord& r) {
                ++r.imagesRejected;
                r.sectorErased = false;
            });
            log(QStringLiteral("image rejected: the old firmware starts again, version %1")
                    .arg(currentVersion()));
            restart();
            return;
        }
        // As if the power went while the image was being programmed: back to the loader.
        const bool programmed = !opts.restartInLoaderAfterImage || loaderRestartUsed;
        loaderRestartUsed = true;
        update([&](SimRecord& r) {
            r.imageName = image.name;
            r.imageSize = image.data.size();
            if (programmed) {
                ++r.imagesProgrammed;
                r.sectorErased = false;
                r.version = opts.newVersion;
            }
        });
        replaceFiles(programmed);
        log(programmed ? QStringLiteral("image programmed, version %1").arg(opts.newVersion)
                       : QStringLiteral("image not programmed: restarting in the loader"));
        restart();
        return;
    }
}

// ---- the USB device ------------------------------------------------------------------------

void SimConsole::dropLine()
{
    pty.close();
    log(QStringLiteral("line dropped"));
}

bool SimConsole::plugIn(QString* error)
{
    bool opened;
    if (opts.linkDir.isEmpty()) {
        opened = pty.open(opts.link, error);
    } else {
        int number = nextLinkNumber;
        opened = pty.openInFolder(opts.linkDir, QLatin1String(LinkPrefix), &number, error);
        if (opened)
            nextLinkNumber = number + 1;
    }
    if (!opened)
        return false;
    pty.setReadRate(opts.lineRate);
    const bool first = slavePath().isEmpty();
    update([this, first](SimRecord& r) {
        r.device = pty.slavePath();
        r.link = pty.link();
        if (!first)
            ++r.replugs;
    });
    if (!first) {
        log(QStringLiteral("plugged in again on %1").arg(portPath()));
        if (pathChanged)
            pathChanged(pty.slavePath());
    }
    return true;
}

bool SimConsole::replug(int awayMs)
{
    dropLine();
    setState(State::Away);
    if (!pty.sleep(awayMs))
        return false;
    QString why;
    if (!plugIn(&why)) {
        log(QStringLiteral("replug failed: %1").arg(why));
        setState(State::HungUp);
        return false;
    }
    return true;
}

void SimConsole::replaceFiles(bool programmed)
{
    if (!opts.flashReplacesFiles)
        return;
    QString why;
    // What was stored lived in the flash the loader erased; a programmed image brings its own.
    if (!store.wipe(&why) || (programmed && !makeModuleImage(&why))) {
        log(QStringLiteral("cannot replace the files: %1").arg(why));
        return;
    }
    update([](SimRecord& r) { ++r.filesWiped; });
    log(QStringLiteral("the file system is the new image's now"));
}

// ---- faults --------------------------------------------------------------------------------

bool SimConsole::transferStepApplies(const QString& step) const
{
    const bool transferStep = step == QLatin1String("header") || step == QLatin1String("eot") ||
                              step.startsWith(QLatin1String("block:"));
    if (!transferStep || opts.faultTransfer == QLatin1String("any"))
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    return transferKind == opts.faultTransfer;
}

bool SimConsole::checkpoint(const QString& step)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        record.lastStep = step;
    }
    if (pty.stopped())
        return false;
    // A pulled cable is pulled once; after a replug the same step passes.
    if (!hangupDone && step == opts.hangupAt && transferStepApplies(step)) {
        hangupDone = true;
        log(QStringLiteral("hang-up at %1").arg(step));
        hangUp();
        return false;
    }
    if (step == opts.silentAt && transferStepApplies(step)) {
        log(QStringLiteral("silent from %1").arg(step));
        goSilent();
        return false;
    }
    return true;
}

void SimConsole::goSilent()
{
    setState(State::Silent);
}

void SimConsole::hangUp()
{
    dropLine();
    update([](SimRecord& r) { ++r.hangups; });
    setState(State::HungUp);
}

// ---- files and records ---------------------------------------------------------------------

void SimConsole::setState(State s)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (record.state == s)
            return;
        record.state = s;
    }
    log(QStringLiteral("state %1").arg(stateName(s)));
    saveStatus();
}

void SimConsole::update(const std::function<void(SimRecord&)>& change)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        change(record);
    }
    saveStatus();
}

void SimConsole::log(const QString& text)
{
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + text;
    QFile f(store.recordPath(QLatin1String(LogFile)));
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(line.toUtf8() + '\n');
    if (opts.verbose) {
        std::fprintf(stderr, "sim %s: %s\n", qPrintable(opts.serialNumber()), qPrintable(text));
        std::fflush(stderr);
    }
}

void SimConsole::saveStatus()
{
    QSaveFile f(statePath());
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write(QJsonDocument(status()).toJson());
    f.commit();
}

bool SimConsole::makeModuleImage(QString* error)
{
    return store.write(QLatin1String(ModulePath), QByteArray(ModuleImage), error);
}

bool SimConsole::prepareFiles(QString* error)
{
    if (!QDir().mkpath(opts.dir)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(opts.dir);
        return false;
    }
    QFile::remove(store.recordPath(QLatin1String(LogFile)));
    const QString db = store.resolve(QLatin1String(UsersDbPath), nullptr);
    switch (opts.usersDb) {
    case SimOptions::UsersDb::Normal:
        if (!QFileInfo::exists(db) && !makeUsersDb(db, error))
            return false;
        break;
    case SimOptions::UsersDb::None:
        QFile::remove(db);
        break;
    case SimOptions::UsersDb::Empty:
        if (!store.write(QLatin1String(UsersDbPath), QByteArray(), error))
            return false;
        break;
    case SimOptions::UsersDb::Corrupt: {
        QFile::remove(db);
        if (!makeUsersDb(db, error))
            return false;
        // Keep SQLite's file header so it still looks like a database; ruin every page.
        QFile f(db);
        if (!f.open(QIODevice::ReadWrite)) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(db);
            return false;
        }
        const qint64 size = f.size();
        f.seek(100);
        f.write(QByteArray(int(size - 100), char(0x5A)));
        break;
    }
    }
    if (!store.exists(QLatin1String(ModulePath)) &&
        !store.exists(QLatin1String(RenamedModulePath)) && !makeModuleImage(error))
        return false;
    return true;
}

bool SimConsole::makeUsersDb(const QString& path, QString* error)
{
    const QString connection = QStringLiteral("simconsole-%1").arg(quintptr(this), 0, 16);
    bool ok = true;
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        if (!db.open()) {
            ok = false;
            why = db.lastError().text();
        } else {
            static const char* const statements[] = {
                "CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT NOT NULL, age INTEGER, "
                "weight_kg REAL, height_cm INTEGER, language TEXT)",
                "CREATE TABLE workouts (id INTEGER PRIMARY KEY, user_id INTEGER REFERENCES "
                "users(id), started TEXT, minutes INTEGER, kcal INTEGER)",
                "CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT)",
                "INSERT INTO users VALUES (1, 'Anna', 34, 61.5, 168, 'it')",
                "INSERT INTO users VALUES (2, 'Marco', 47, 82.0, 181, 'it')",
                "INSERT INTO users VALUES (3, 'Sofie', 29, 58.2, 172, 'da')",
                "INSERT INTO workouts VALUES (1, 1, '2024-03-01 07:30', 30, 270)",
                "INSERT INTO workouts VALUES (2, 2, '2024-03-02 18:05', 45, 510)",
                "INSERT INTO workouts VALUES (3, 3, '2024-03-03 06:50', 20, 160)",
                "INSERT INTO settings VALUES ('units', 'metric')",
                "INSERT INTO settings VALUES ('schema', '3')",
            };
            QSqlQuery q(db);
            for (const char* s : statements) {
                if (!q.exec(QLatin1String(s))) {
                    ok = false;
                    why = q.lastError().text();
                    break;
                }
            }
            // Each console's data are its own: a copy that lands on the wrong console shows.
            if (ok) {
                q.prepare(QStringLiteral("INSERT INTO settings VALUES ('serial', ?)"));
                q.addBindValue(opts.serialNumber());
                if (!q.exec()) {
                    ok = false;
                    why = q.lastError().text();
                }
            }
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!ok && error)
        *error = QStringLiteral("cannot make the users database %1: %2").arg(path, why);
    return ok;
}
