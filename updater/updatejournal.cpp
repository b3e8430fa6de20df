#include "updatejournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include "usersdatastore.h"

#include <algorithm>

namespace
{
const char* const Suffix = ".journal";
// Journals larger than this are not ours.
const qint64 MaxJournalBytes = 64 * 1024;

const char* const PhaseNames[] = {"started",   "users-data-saved", "image-sending", "image-sent",
                                  "restoring", "restored",         "finished"};

QString safeNamePart(const QString& text)
{
    QString part;
    for (const QChar ch : text.trimmed()) {
        const bool safe = ch.isLetterOrNumber() && ch.unicode() < 128;
        part += (safe || ch == QLatin1Char('-')) ? ch : QLatin1Char('_');
    }
    part.truncate(64);
    return part.isEmpty() ? QStringLiteral("unknown") : part;
}

bool phaseFromName(const QString& name, UpdateJournal::Phase* phase)
{
    for (int i = 0; i <= UpdateJournal::Finished; ++i) {
        if (name == QLatin1String(PhaseNames[i])) {
            *phase = UpdateJournal::Phase(i);
            return true;
        }
    }
    return false;
}

bool newerFirst(const UpdateJournal::Entry& a, const UpdateJournal::Entry& b)
{
    return a.updated > b.updated;
}
} // namespace

UpdateJournal::UpdateJournal(const QString& directory) : dir(directory) {}

QString UpdateJournal::directory() const
{
    return dir.isEmpty() ? defaultDirectory() : dir;
}

QString UpdateJournal::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/journal");
}

QString UpdateJournal::phaseName(Phase phase)
{
    return QLatin1String(PhaseNames[phase]);
}

bool UpdateJournal::begin(const Identity& identity, const QString& release)
{
    current = Entry();
    current.identity = identity;
    current.release = release;
    current.phase = Started;
    current.started = QDateTime::currentDateTimeUtc();
    current.path = QStringLiteral("%1/update_%2_%3%4")
                       .arg(directory(), safeNamePart(identity.serialNumber),
                            current.started.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")),
                            QLatin1String(Suffix));
    open = true;
    return write();
}

bool UpdateJournal::resume(const Entry& entry)
{
    if (entry.path.isEmpty()) {
        if (!begin(entry.identity, entry.release))
            return false;
        return setUsersFile(entry.usersFile);
    }
    current = entry;
    open = true;
    return write();
}

bool UpdateJournal::setPhase(Phase phase)
{
    if (!open)
        return false;
    current.phase = phase;
    return write();
}

bool UpdateJournal::setUsersFile(const QString& path, const QString& serialNumber)
{
    if (!open)
        return false;
    current.usersFile = path;
    if (!serialNumber.isEmpty())
        current.identity.serialNumber = serialNumber;
    if (current.phase < UsersDataSaved)
        current.phase = UsersDataSaved;
    return write();
}

bool UpdateJournal::finish(bool succeeded, int resultCode)
{
    if (!open)
        return false;
    current.phase = Finished;
    current.succeeded = succeeded;
    current.resultCode = resultCode;
    const bool ok = write();
    open = false;
    return ok;
}

bool UpdateJournal::write()
{
    current.updated = QDateTime::currentDateTimeUtc();
    const QString folder = QFileInfo(current.path).absolutePath();
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QJsonObject console;
    console.insert(QStringLiteral("serialNumber"), current.identity.serialNumber);
    console.insert(QStringLiteral("firmwareVersion"), current.identity.firmwareVersion);
    console.insert(QStringLiteral("articleNumber"), current.identity.articleNumber);
    console.insert(QStringLiteral("deviceName"), current.identity.deviceName);
    console.insert(QStringLiteral("monitorId"), current.identity.monitorId);
    QJsonObject root;
    root.insert(QStringLiteral("console"), console);
    root.insert(QStringLiteral("phase"), phaseName(current.phase));
    root.insert(QStringLiteral("usersFile"), current.usersFile);
    root.insert(QStringLiteral("started"), current.started.toString(Qt::ISODateWithMs));
    root.insert(QStringLiteral("updated"), current.updated.toString(Qt::ISODateWithMs));
    root.insert(QStringLiteral("succeeded"), current.succeeded);
    root.insert(QStringLiteral("release"), current.release);
    root.insert(QStringLiteral("result"), current.resultCode);

    // QSaveFile: a reader (or the next start after a crash) sees the old journal or the new
    // one, never half of one.
    QSaveFile out(current.path);
    if (!out.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(current.path, out.errorString());
        return false;
    }
    const QByteArray bytes = QJsonDocument(root).toJson();
    if (out.write(bytes) != bytes.size() || !out.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(current.path, out.errorString());
        return false;
    }
    error.clear();
    return true;
}

bool UpdateJournal::read(const QString& path, Entry* entry)
{
    QFile in(path);
    if (in.size() > MaxJournalBytes || !in.open(QIODevice::ReadOnly))
        return false;
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(in.read(MaxJournalBytes), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    const QJsonObject root = doc.object();
    Entry e;
    e.path = path;
    if (!phaseFromName(root.value(QStringLiteral("phase")).toString(), &e.phase))
        return false;
    const QJsonObject console = root.value(QStringLiteral("console")).toObject();
    e.identity.serialNumber = console.value(QStringLiteral("serialNumber")).toString();
    e.identity.firmwareVersion = console.value(QStringLiteral("firmwareVersion")).toString();
    e.identity.articleNumber = console.value(QStringLiteral("articleNumber")).toString();
    e.identity.deviceName = console.value(QStringLiteral("deviceName")).toString();
    e.identity.monitorId = console.value(QStringLiteral("monitorId")).toString();
    e.usersFile = root.value(QStringLiteral("usersFile")).toString();
    e.started =
        QDateTime::fromString(root.value(QStringLiteral("started")).toString(), Qt::ISODateWithMs);
    e.updated =
        QDateTime::fromString(root.value(QStringLiteral("updated")).toString(), Qt::ISODateWithMs);
    e.succeeded = root.value(QStringLiteral("succeeded")).toBool();
    e.release = root.value(QStringLiteral("release")).toString();
    e.resultCode = root.value(QStringLiteral("result")).toInt();
    if (!e.updated.isValid())
        e.updated = QFileInfo(path).lastModified().toUTC();
    *entry = e;
    return true;
}

QList<UpdateJournal::Entry> UpdateJournal::all(const QString& directory)
{
    QList<Entry> result;
    const QDir d(directory);
    const QStringList names =
        d.entryList({QStringLiteral("*") + QLatin1String(Suffix)}, QDir::Files);
    for (const QString& name : names) {
        Entry e;
        if (read(d.filePath(name), &e))
            result << e;
    }
    std::stable_sort(result.begin(), result.end(), newerFirst);
    return result;
}

QList<UpdateJournal::Entry> UpdateJournal::unfinished(const QString& directory)
{
    QList<Entry> result;
    for (const Entry& e : all(directory)) {
        if (e.isFinished() || e.phase == Restored)
            continue;
        if (e.usersFile.isEmpty() || !QFileInfo(e.usersFile).isFile() ||
            QFileInfo(e.usersFile).size() == 0)
            continue;
        result << e;
    }
    return result;
}

QDateTime UpdateJournal::lastSuccess(const QString& serialNumber, const QString& directory)
{
    QDateTime newest;
    const QString serial = serialNumber.trimmed();
    for (const Entry& e : all(directory)) {
        if (e.isFinished() && e.succeeded && e.identity.serialNumber.trimmed() == serial &&
            e.started > newest)
            newest = e.started;
    }
    return newest;
}

bool UpdateJournal::findUnfinished(const QString& serialNumber, Entry* found,
                                   const QString& directory)
{
    const QString serial = serialNumber.trimmed();
    if (serial.isEmpty())
        return false;
    for (const Entry& e : unfinished(directory)) {
        if (e.identity.serialNumber.trimmed() == serial) {
            *found = e;
            return true;
        }
    }
    return false;
}

bool UpdateJournal::findRescuable(const QString& serialNumber, const QString& usersFolder,
                                  Entry* found, const QString& directory)
{
    const QString serial = serialNumber.trimmed();
    if (serial.isEmpty()) {
        const QList<Entry> any = unfinished(directory);
        if (!any.isEmpty())
            *found = any.first();
        return !any.isEmpty();
    }
    if (findUnfinished(serial, found, directory))
        return true;
    if (usersFolder.isEmpty())
        return false;

    // No journal, but a users' file kept for this console by an earlier run: each copy sits
    // in a folder named with the serial number and the time, which sorts by time.
    const QDir d(usersFolder);
    const QStringList folders =
        d.entryList({UsersDataStore::fileNamePart(serial) + QStringLiteral("_*")},
                    QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
    for (const QString& folder : folders) {
        const QFileInfoList files = QDir(d.filePath(folder)).entryInfoList(QDir::Files, QDir::Name);
        for (const QFileInfo& f : files) {
            // The file as it came off the console, before migration, is kept for the record;
            // what goes back is the migrated copy beside it.
            if (f.size() == 0 || UsersDataStore::isOriginalCopy(f.filePath()))
                continue;
            Entry e;
            e.identity.serialNumber = serial;
            e.phase = UsersDataSaved;
            e.usersFile = f.absoluteFilePath();
            e.updated = f.lastModified().toUTC();
            e.started = e.updated;
            *found = e;
            return true;
        }
    }
    return false;
}
