#include "usersdatastore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

QString UsersDataStore::folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/users-data");
}

QString UsersDataStore::fileNamePart(const QString& serialNumber)
{
    QString part;
    for (const QChar ch : serialNumber.trimmed()) {
        const bool safe = (ch >= QLatin1Char('a') && ch <= QLatin1Char('z')) ||
                          (ch >= QLatin1Char('A') && ch <= QLatin1Char('Z')) ||
                          (ch >= QLatin1Char('0') && ch <= QLatin1Char('9')) ||
                          ch == QLatin1Char('-') || ch == QLatin1Char('_');
        part += safe ? ch : QLatin1Char('_');
    }
    part.truncate(64);
    return part.isEmpty() ? QStringLiteral("unknown") : part;
}

namespace
{
const QFileDevice::Permissions kOwnerOnlyFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
const QFileDevice::Permissions kOwnerOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

QString failWith(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return QString();
}
} // namespace

QString UsersDataStore::newFolder(const QString& serialNumber, QString* error)
{
    // One folder per save, named after the console and the time.
    const QString base = folder();
    const QString stem =
        QStringLiteral("%1/%2_%3")
            .arg(base, fileNamePart(serialNumber),
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString dir = stem;
    for (int n = 2; QFileInfo::exists(dir); ++n)
        dir = stem + QLatin1Char('-') + QString::number(n);
    if (!QDir().mkpath(dir))
        return failWith(error, QStringLiteral("cannot create %1").arg(dir));
    if (!QFile::setPermissions(base, kOwnerOnlyFolder) ||
        !QFile::setPermissions(dir, kOwnerOnlyFolder)) {
        QDir().rmdir(dir);
        return failWith(error, QStringLiteral("cannot make %1 owner-only").arg(dir));
    }
    return dir;
}

QString UsersDataStore::keepAs(const QString& source, const QString& dir, const QString& name,
                               QString* error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return failWith(error, QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    const QByteArray contents = in.readAll();
    if (contents.size() != in.size())
        return failWith(error, QStringLiteral("cannot read %1 whole").arg(source));
    in.close();

    const QString path = dir + QLatin1Char('/') + name;
    QSaveFile out(path);
    // Owner-only before the contents go in.
    if (!out.open(QIODevice::WriteOnly) || !out.setPermissions(kOwnerOnlyFile) ||
        out.write(contents) != contents.size() || !out.commit())
        return failWith(error, QStringLiteral("cannot write %1: %2").arg(path, out.errorString()));
    return path;
}

QString UsersDataStore::keep(const QString& source, const QString& serialNumber, QString* error)
{
    const QString dir = newFolder(serialNumber, error);
    if (dir.isEmpty())
        return QString();
    const QString path = keepAs(source, dir, QFileInfo(source).fileName(), error);
    if (path.isEmpty())
        QDir().rmdir(dir);
    return path;
}

QString UsersDataStore::originalName(const QString& fileName)
{
    return fileName + QStringLiteral(".original");
}

QString UsersDataStore::beforeRestoreName(const QString& fileName)
{
    return fileName + QStringLiteral(".before-restore");
}

bool UsersDataStore::isOriginalCopy(const QString& path)
{
    return path.endsWith(originalName(QString())) || path.endsWith(beforeRestoreName(QString()));
}

bool UsersDataStore::isKeptCopy(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QDir parent = QFileInfo(path).absoluteDir();
    return QFileInfo(parent.absolutePath()).absolutePath() ==
           QFileInfo(folder()).absoluteFilePath();
}
