#include "simfilestore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace
{
// What the simulator keeps beside the console's files for tests and people to read.
const char* const RecordNames[] = {"state.json", "console.log", "firmware.bin"};

bool failWith(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}
} // namespace

SimFileStore::SimFileStore(const QString& dir) : folder(dir) {}

bool SimFileStore::isRecord(const QString& name)
{
    for (const char* record : RecordNames)
        if (name == QLatin1String(record))
            return true;
    return false;
}

QString SimFileStore::recordPath(const QString& name) const
{
    return QDir(folder).filePath(name);
}

QString SimFileStore::resolve(const QString& consolePath, QString* error) const
{
    const QString clean = QDir::cleanPath(QStringLiteral("/") + consolePath);
    const QString name = clean.mid(1);
    if (clean == QLatin1String("/") || clean.startsWith(QLatin1String("/..")) ||
        name.contains(QLatin1Char('/'))) {
        failWith(error, QStringLiteral("bad path \"%1\"").arg(consolePath));
        return QString();
    }
    if (isRecord(name)) {
        failWith(error, QStringLiteral("%1: reserved").arg(consolePath));
        return QString();
    }
    return QDir(folder).filePath(name);
}

bool SimFileStore::exists(const QString& consolePath) const
{
    const QString path = resolve(consolePath, nullptr);
    return !path.isEmpty() && QFileInfo(path).isFile();
}

QList<SimFileStore::Entry> SimFileStore::list() const
{
    QList<Entry> entries;
    const QFileInfoList infos = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& fi : infos) {
        if (!isRecord(fi.fileName()))
            entries.append(Entry{QStringLiteral("/") + fi.fileName(), fi.size()});
    }
    return entries;
}

bool SimFileStore::read(const QString& consolePath, QByteArray* data, QString* error) const
{
    const QString path = resolve(consolePath, error);
    if (path.isEmpty())
        return false;
    QFile f(path);
    if (!QFileInfo(path).isFile() || !f.open(QIODevice::ReadOnly))
        return failWith(error, QStringLiteral("%1: no such file").arg(consolePath));
    *data = f.readAll();
    return true;
}

bool SimFileStore::write(const QString& consolePath, const QByteArray& data, QString* error)
{
    const QString path = resolve(consolePath, error);
    if (path.isEmpty())
        return false;
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(data) != data.size() || !out.commit())
        return failWith(error, QStringLiteral("%1: cannot write").arg(consolePath));
    return true;
}

bool SimFileStore::remove(const QString& consolePath, QString* error)
{
    const QString path = resolve(consolePath, error);
    if (path.isEmpty())
        return false;
    if (!QFileInfo(path).isFile())
        return failWith(error, QStringLiteral("%1: no such file").arg(consolePath));
    if (!QFile::remove(path))
        return failWith(error, QStringLiteral("%1: cannot remove").arg(consolePath));
    return true;
}

bool SimFileStore::rename(const QString& from, const QString& to, QString* error)
{
    const QString source = resolve(from, error);
    const QString target = source.isEmpty() ? QString() : resolve(to, error);
    if (source.isEmpty() || target.isEmpty())
        return false;
    if (!QFileInfo(source).isFile())
        return failWith(error, QStringLiteral("%1: no such file").arg(from));
    if (source == target)
        return true;
    QFile::remove(target);
    if (!QFile::rename(source, target))
        return failWith(error, QStringLiteral("cannot move %1").arg(from));
    return true;
}

bool SimFileStore::wipe(QString* error)
{
    for (const Entry& e : list()) {
        if (!remove(e.name, error))
            return false;
    }
    return true;
}
