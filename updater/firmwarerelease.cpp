#include "firmwarerelease.h"

#include "versionsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QString FirmwareRelease::defaultFolder()
{
    const QStringList locations =
        QStandardPaths::standardLocations(QStandardPaths::AppLocalDataLocation);
    return locations.size() >= 2 ? locations.at(1) : locations.value(0);
}

bool FirmwareRelease::read(const QString& folder)
{
    *this = FirmwareRelease();
    dir = folder;
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        why = QStringLiteral("no release folder %1").arg(folder);
        return false;
    }
    const QDir d(folder);
    VersionsFile versions;
    if (!versions.read(d.filePath(QStringLiteral("versions.ini"))) || !versions.isValid()) {
        why = QStringLiteral("%1: %2").arg(d.filePath(QStringLiteral("versions.ini")),
                                           versions.problem());
        return false;
    }
    const QFileInfoList files = d.entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo& file : files) {
        if (file.size() == ImageSize && file.fileName().contains(QLatin1String(".iso"))) {
            imageFile = file.absoluteFilePath();
            break;
        }
    }
    if (imageFile.isEmpty()) {
        why = QStringLiteral("%1 holds no firmware image (a .iso file of %2 bytes)")
                  .arg(folder)
                  .arg(ImageSize);
        return false;
    }
    fullVersion = versions.value(VersionsFile::Full);
    releaseDate = versions.value(VersionsFile::Date);
    forcedUpdate = VersionsFile::isForcedValue(versions.value(VersionsFile::Forced));
    statements = versions.queries();
    vChangedNumber = VersionsFile::versionNumber(versions.value(VersionsFile::VChanged));
    minorNumber = VersionsFile::versionNumber(versions.value(VersionsFile::MinorVersion));
    return true;
}

QByteArray FirmwareRelease::image(const QString& path)
{
    QMutexLocker lock(imageMutex.get());
    if (path != imageFile || imageFile.isEmpty())
        return QByteArray();
    if (imageBytes.isEmpty()) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        imageBytes = file.readAll();
        if (imageBytes.size() != file.size() || imageBytes.size() != ImageSize)
            imageBytes.clear();
    }
    return imageBytes;
}
