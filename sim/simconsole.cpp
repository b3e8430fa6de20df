#include "simconsole.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>
#include <cstdio>

namespace
{
const char UsersDbPath[] = "/BrenvikDATA";
const char ModulePath[] = "/R-BTM093004_.cyacd";
const char ImageFile[] = "firmware.bin";
const char StateFile[] = "state.json";
const char LogFile[] = "console.log";
const char Prompt[] = "> ";
// Longest command line kept; anything longer is line noise.
constexpr int MaxLine = 512;
// How long one pass of the command loop waits for input.
constexpr int IdleReadMs = 200;
// A shell "receive file" with no sender gives up after this long.
constexpr int ShellReceiveGiveUpMs = 60000;

// A small bootloadable module image: a header row and a few data rows.
const char ModuleImage[] = "0E1A1069000100\r\n"
                           ":00000000400020003B0600004B0700004D070000000000000000000000\r\n"
                           ":00000001400000000000000000000000000000000000000000000000A5\r\n"
                           ":000000024000000000000000000000004F0700004F0700000000000067\r\n";
} // namespace

SimConsole::SimConsole(const SimOptions& options) : opts(options), ymodem(pty)
{
    version = opts.version;
    current = opts.startInLoader ? State::Loader : State::Application;
    sectorErased = opts.startInLoader;
    ymodem.setCheckpoint([this](const QString& step) { return checkpoint(step); });
}

void SimConsole::beginTransfer(const QString& kind)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        transferKind = kind;
    }
    SimYmodem::Faults f;
    if (opts.faultTransfer == QLatin1String("any") || opts.faultTransfer == kind) {
        f.cancelBlock = opts.cancelBlock;
        f.nakBlock = opts.nakBlock;
        f.corruptBlock = opts.corruptBlock;
    }
    ymodem.setFaults(f);
}

SimConsole::~SimConsole()
{
    stop();
    pty.close();
}

QString SimConsole::stateName(State s)
{
    switch (s) {
    case State::Application:
        return QStringLiteral("application");
    case State::Shell:
        return QStringLiteral("shell");
    case State::Sending:
        return QStringLiteral("sending");
    case State::Receiving:
        return QStringLiteral("receiving");
    case State::Rebooting:
        return QStringLiteral("rebooting");
    case State::Loader:
        return QStringLiteral("loader");
    case State::Programming:
        return QStringLiteral("programming");
    case State::Silent:
        return QStringLiteral("silent");
    case State::HungUp:
        return QStringLiteral("hungup");
    case State::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

// ---- public, thread-safe -------------------------------------------------------------------

QString SimConsole::slavePath() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return slave;
}

SimConsole::State SimConsole::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return current;
}

int SimConsole::resetCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return resets;
}

QString SimConsole::currentVersion() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return version;
}

QString SimConsole::statePath() const
{
    return QDir(opts.dir).filePath(QLatin1String(StateFile));
}

QString SimConsole::filePath(const QString& consolePath) const
{
    return resolve(consolePath, nullptr);
}

QJsonObject SimConsole::status() const
{
    QJsonObject o;
    {
        std::lock_guard<std::mutex> lock(mutex);
        o[QStringLiteral("state")] = stateName(current);
        o[QStringLiteral("device")] = slave;
        o[QStringLiteral("version")] = version;
        o[QStringLiteral("resetCount")] = resets;
        o[QStringLiteral("bootCount")] = boots;
        o[QStringLiteral("sectorErased")] = sectorErased;
        o[QStringLiteral("imagesProgrammed")] = imagesProgrammed;
        o[QStringLiteral("imageStored")] = imagesProgrammed > 0;
        o[QStringLiteral("imageName")] = imageName;
        o[QStringLiteral("imageSize")] = double(imageSize);
        o[QStringLiteral("usersDbReceived")] = usersDbReceived;
        o[QStringLiteral("filesReceived")] = filesReceived;
        o[QStringLiteral("filesSent")] = filesSent;
        o[QStringLiteral("moduleRenamed")] = moduleRenamed;
        o[QStringLiteral("hangups")] = hangups;
        o[QStringLiteral("lastStep")] = lastStep;
        o[QStringLiteral("lastTransfer")] = lastTransfer;
    }
    o[QStringLiteral("usersDbPresent")] =
        QFileInfo::exists(resolve(QLatin1String(UsersDbPath), nullptr));
    o[QStringLiteral("modulePresent")] =
        QFileInfo::exists(resolve(QLatin1String(ModulePath), nullptr));
    o[QStringLiteral("renamedModulePresent")] =
        QFileInfo::exists(resolve(QStringLiteral("/R-BTM093004.cyacd"), nullptr));
    QJsonArray files;
    const QFileInfoList list = QDir(opts.dir).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& fi : list) {
        if (fi.fileName() == QLatin1String(StateFile) || fi.fileName() == QLatin1String(LogFile))
            continue;
        QJsonObject f;
        f[QStringLiteral("name")] = QStringLiteral("/") + fi.fileName();
        f[QStringLiteral("size")] = double(fi.size());
        files.append(f);
    }
    o[QStringLiteral("files")] = files;
    return o;
}

void SimConsole::setPathChanged(std::function<void(const QString&)> callback)
{
    pathChanged = std::move(callback);
}

bool SimConsole::open(QString* error)
{
    if (!prepareFiles(error))
        return false;
    QString why;
    if (!pty.open(opts.link, &why)) {
        if (error)
            *error = why;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        slave = pty.slavePath();
    }
    log(QStringLiteral("console on %1 in state %2, version %3")
            .arg(pty.slavePath(), stateName(state()), opts.version));
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
            if (opts.replugAfterMs < 0)
                break;
            if (!pty.sleep(opts.replugAfterMs))
                break;
            QString why;
            if (!pty.open(opts.link, &why)) {
                log(QStringLiteral("replug failed: %1").arg(why));
                break;
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                slave = pty.slavePath();
            }
            log(QStringLiteral("replugged on %1").arg(pty.slavePath()));
            setState(sectorErased ? State::Loader : State::Application);
            if (pathChanged)
                pathChanged(pty.slavePath());
            continue;
        }
        const int c = pty.readByte(IdleReadMs);
        if (c == SimPty::Closed)
            continue;
        if (c == SimPty::Timeout)
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
        if (!checkpoint(QStringLiteral("shell")))
            return;
        prompt();
        return;
    }
    if (!checkpoint(QStringLiteral("cmd:") + QString::fromLatin1(word).toLower()))
        return;

    if (word == "exit") {
        setState(State::Application);
        return;
    }
    if (word == "reset") {
        pty.write("resetting\r\n");
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++resets;
        }
        reboot();
        return;
    }
    if (words.size() == 3 && word == "send" && words[1] == "file") {
        sendFile(QString::fromUtf8(words[2]));
        return;
    }
    if (words.size() == 2 && word == "receive" && words[1] == "file") {
        receiveFile();
        return;
    }
    if (words.size() == 2 && word == "rm") {
        QString why;
        const QString path = resolve(QString::fromUtf8(words[1]), &why);
        if (path.isEmpty())
            pty.write("rm: " + why.toUtf8() + "\r\n");
        else if (!QFileInfo(path).isFile())
            pty.write("rm: " + words[1] + ": no such file\r\n");
        else if (!QFile::remove(path))
            pty.write("rm: " + words[1] + ": cannot remove\r\n");
        else
            log(QStringLiteral("removed %1").arg(QString::fromUtf8(words[1])));
        saveStatus();
        prompt();
        return;
    }
    if (words.size() == 3 && word == "mv") {
        QString why;
        const QString from = resolve(QString::fromUtf8(words[1]), &why);
        const QString to = from.isEmpty() ? QString() : resolve(QString::fromUtf8(words[2]), &why);
        if (from.isEmpty() || to.isEmpty()) {
            pty.write("mv: " + why.toUtf8() + "\r\n");
        } else if (!QFileInfo(from).isFile()) {
            pty.write("mv: " + words[1] + ": no such file\r\n");
        } else {
            QFile::remove(to);
            if (!QFile::rename(from, to)) {
                pty.write("mv: cannot move " + words[1] + "\r\n");
            } else {
                log(QStringLiteral("moved %1 to %2")
                        .arg(QString::fromUtf8(words[1]), QString::fromUtf8(words[2])));
                if (words[1] == ModulePath && words[2] == "/R-BTM093004.cyacd") {
                    std::lock_guard<std::mutex> lock(mutex);
                    moduleRenamed = true;
                }
            }
        }
        saveStatus();
        prompt();
        return;
    }
    if (words.size() == 3 && word == "spi" && words[1] == "delsect") {
        bool ok = false;
        const int sector = words[2].toInt(&ok);
        if (!ok || sector < 0 || sector > 4095) {
            pty.write("spi: bad sector\r\n");
        } else {
            if (sector == 4095) {
                std::lock_guard<std::mutex> lock(mutex);
                sectorErased = true;
            }
            log(QStringLiteral("erased sector %1").arg(sector));
            pty.write("sector " + words[2] + " erased\r\n");
            saveStatus();
        }
        prompt();
        return;
    }
    if (line == "ls") {
        const QFileInfoList list = QDir(opts.dir).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo& fi : list) {
            if (fi.fileName() == QLatin1String(StateFile) ||
                fi.fileName() == QLatin1String(LogFile))
                continue;
            pty.write(QStringLiteral("%1 %2\r\n").arg(fi.size(), 10).arg(fi.fileName()).toUtf8());
        }
        prompt();
        return;
    }
    pty.write("unknown command: " + line + "\r\n");
    prompt();
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
        lastTransfer = t;
        transferKind.clear();
    }
    log(QStringLiteral("%1 %2: %3").arg(kind, t[QStringLiteral("outcome")].toString(), detail));
    saveStatus();
}

void SimConsole::sendFile(const QString& consolePath)
{
    QString why;
    const QString path = resolve(consolePath, &why);
    beginTransfer(QStringLiteral("send"));
    setState(State::Sending);
    SimYmodem::Outcome outcome;
    QString detail;
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        // Nothing to send: the receiver's first request is refused with CAN CAN.
        outcome = ymodem.refuse(&detail);
        detail = QStringLiteral("%1: no such file; %2").arg(consolePath, detail);
    } else {
        const QByteArray data = f.readAll();
        f.close();
        outcome = ymodem.send(consolePath, data, &detail);
        if (outcome == SimYmodem::Outcome::Done) {
            std::lock_guard<std::mutex> lock(mutex);
            ++filesSent;
        }
    }
    finishTransfer(QStringLiteral("send"), outcome, detail, consolePath);
    if (!stoppedOrGone())
        setState(State::Shell);
}

void SimConsole::receiveFile()
{
    beginTransfer(QStringLiteral("receive"));
    setState(State::Receiving);
    SimYmodem::ReceiveSetup setup;
    setup.pollMs = opts.scaled(opts.pollMs);
    setup.giveUpMs = ShellReceiveGiveUpMs;
    setup.endWaitMs = qMax(500, opts.scaled(2000));
    QList<SimYmodem::File> files;
    QString detail;
    const SimYmodem::Outcome outcome = ymodem.receive(setup, &files, &detail);
    QStringList stored;
    for (const SimYmodem::File& file : files) {
        QString why;
        const QString path = resolve(QStringLiteral("/") + file.name, &why);
        QSaveFile out(path);
        if (path.isEmpty() || !out.open(QIODevice::WriteOnly) ||
            out.write(file.data) != file.data.size() || !out.commit()) {
            log(QStringLiteral("cannot store %1 %2").arg(file.name, why));
            continue;
        }
        stored << QStringLiteral("/") + file.name;
        std::lock_guard<std::mutex> lock(mutex);
        ++filesReceived;
        if (QStringLiteral("/") + file.name == QLatin1String(UsersDbPath))
            ++usersDbReceived;
    }
    finishTransfer(QStringLiteral("receive"), outcome, detail, stored.join(QLatin1Char(' ')));
    if (!stoppedOrGone())
        setState(State::Shell);
}

void SimConsole::reboot()
{
    setState(State::Rebooting);
    if (!checkpoint(QStringLiteral("reboot")))
        return;
    // Whatever arrives while the console restarts is lost, a half line included.
    lineBuf.clear();
    pty.drain(opts.scaled(opts.rebootMs) + 1, opts.scaled(opts.rebootMs));
    if (stoppedOrGone())
        return;
    bool toLoader;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++boots;
        toLoader = sectorErased;
    }
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
        QSaveFile out(QDir(opts.dir).filePath(QLatin1String(ImageFile)));
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
        bool backToLoader = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            imageName = image.name;
            imageSize = image.data.size();
            if (opts.restartInLoaderAfterImage && !loaderRestartUsed) {
                // As if the power went while the image was being programmed.
                loaderRestartUsed = true;
                backToLoader = true;
            } else {
                ++imagesProgrammed;
                sectorErased = false;
                version = opts.newVersion;
            }
        }
        log(backToLoader ? QStringLiteral("image not programmed: restarting in the loader")
                         : QStringLiteral("image programmed, version %1").arg(opts.newVersion));
        reboot();
        return;
    }
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
        lastStep = step;
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
    pty.close();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++hangups;
    }
    setState(State::HungUp);
}

// ---- files and records ---------------------------------------------------------------------

void SimConsole::setState(State s)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (current == s)
            return;
        current = s;
    }
    log(QStringLiteral("state %1").arg(stateName(s)));
    saveStatus();
}

void SimConsole::log(const QString& text)
{
    const QString line =
        QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + text;
    QFile f(QDir(opts.dir).filePath(QLatin1String(LogFile)));
    if (f.open(QIODevice::WriteOnly | QIODevice::Append))
        f.write(line.toUtf8() + '\n');
    if (opts.verbose) {
        std::fprintf(stderr, "sim: %s\n", qPrintable(text));
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

QString SimConsole::resolve(const QString& consolePath, QString* error) const
{
    const QString clean = QDir::cleanPath(QStringLiteral("/") + consolePath);
    if (clean == QLatin1String("/") || clean.startsWith(QLatin1String("/.."))) {
        if (error)
            *error = QStringLiteral("bad path \"%1\"").arg(consolePath);
        return QString();
    }
    const QString name = clean.mid(1);
    if (name == QLatin1String(StateFile) || name == QLatin1String(LogFile)) {
        if (error)
            *error = QStringLiteral("%1: reserved").arg(consolePath);
        return QString();
    }
    return QDir(opts.dir).filePath(name);
}

bool SimConsole::prepareFiles(QString* error)
{
    if (!QDir().mkpath(opts.dir)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(opts.dir);
        return false;
    }
    QFile::remove(QDir(opts.dir).filePath(QLatin1String(LogFile)));
    const QString db = resolve(QLatin1String(UsersDbPath), nullptr);
    switch (opts.usersDb) {
    case SimOptions::UsersDb::Normal:
        if (!QFileInfo::exists(db) && !makeUsersDb(db, error))
            return false;
        break;
    case SimOptions::UsersDb::None:
        QFile::remove(db);
        break;
    case SimOptions::UsersDb::Empty: {
        QFile f(db);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(db);
            return false;
        }
        break;
    }
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
    const QString module = resolve(QLatin1String(ModulePath), nullptr);
    if (!QFileInfo::exists(module) &&
        !QFileInfo::exists(resolve(QStringLiteral("/R-BTM093004.cyacd"), nullptr))) {
        QFile f(module);
        if (!f.open(QIODevice::WriteOnly) || f.write(ModuleImage) < 0) {
            if (error)
                *error = QStringLiteral("cannot write %1").arg(module);
            return false;
        }
    }
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
            q.finish();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connection);
    if (!ok && error)
        *error = QStringLiteral("cannot make the users database %1: %2").arg(path, why);
    return ok;
}
