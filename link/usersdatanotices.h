#ifndef USERSDATANOTICES_H
#define USERSDATANOTICES_H

#include <QObject>
#include <QString>
#include <QStringList>

// What the worker tells of the users' data beyond its own signals. A companion of the worker
// (YMODEM::notices()), a child of it and so in its thread, so that the worker's own signals and
// slots keep their order and indices.
class UsersDataNotices : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // Emitted by yTransmit once the migration statements have run (also with none), before the
    // console is touched: each failed statement as "Step N: <statement>: <reason>", and the
    // users' file exactly as received, kept before any statement ran.
    void migrationReport(QStringList failedStatements, QString originalCopyPath);
    // Emitted by yTransmitUserSettings when setKeepConsoleCopy(true) asked for it: the
    // console's own "/BrenvikDATA", fetched right before the restore removed it, is kept at
    // path (UsersDataStore, a new folder for the console's serial number, named
    // UsersDataStore::beforeRestoreName). Not emitted when the console had no such file.
    void consoleCopyKept(QString path);
};

#endif // USERSDATANOTICES_H
