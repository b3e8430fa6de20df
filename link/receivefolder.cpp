#include "receivefolder.h"

#include "consoletrace.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

QString ReceiveFolder::path()
{
    if (!chosen.isEmpty())
        return chosen;
    if (!made.isEmpty() && QFileInfo(made).isDir())
        return made;

    // An unusable temporary location comes back as an empty text, which must not become "/".
    const QStringList temps = QStandardPaths::standardLocations(QStandardPaths::TempLocation);
    if (temps.isEmpty() || temps.first().isEmpty()) {
        ConsoleTrace::print(QStringLiteral("No temporary folder for the received file\r\n"));
        return QString();
    }
    QTemporaryDir dir(temps.first() + QStringLiteral("/BrenvikUpdater-XXXXXX"));
    if (!dir.isValid()) {
        qDebug() << "Cannot create a folder under" << temps.first() << dir.errorString();
        ConsoleTrace::print(QStringLiteral("Cannot create a folder under %1: %2\r\n")
                                .arg(temps.first(), dir.errorString()));
        return QString();
    }
    dir.setAutoRemove(false);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    made = dir.path();
    return made;
}

void ReceiveFolder::removeOwnIfEmpty()
{
    if (!made.isEmpty())
        QDir().rmdir(made);
}
