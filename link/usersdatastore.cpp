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

QString UsersDataStore::keep(const QString& source, const QString& serialNumber, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return QString();
    };

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(source, in.errorString()));
    const QByteArray contents = in.readAll();
    if (contents.size() != in.size())
        return fail(QStringLiteral("cannot read %1 whole").arg(source));
    in.close();

    // One folder per save, named after the console and the time; the file keeps the console's
    // own name, which travels in the YMODEM header when it goes back.
    const QString base = folder();
    const QString stem =
        QStringLiteral("%1/%2_%3")
            .arg(base, fileNamePart(serialNumber),
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString dir = stem;
    for (int n = 2; QFileInfo::exists(dir); ++n)
        dir = stem + QLatin1Char('-') + QString::number(n);
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create %1").arg(dir));
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QFile::setPermissions(base, ownerOnly);
    QFile::setPermissions(dir, ownerOnly);
    const QString path = dir + QLatin1Char('/') + QFileInfo(source).fileName();

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(contents) != contents.size() ||
        !out.commit()) {
        const QString why = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        QDir().rmdir(dir);
        return fail(why);
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return path;
}

bool UsersDataStore::isKeptCopy(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QDir parent = QFileInfo(path).absoluteDir();
    return QFileInfo(parent.absolutePath()).absolutePath() ==
           QFileInfo(folder()).absoluteFilePath();
}
