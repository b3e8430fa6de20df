#include "usersdatamigration.h"

#include "usersdatastore.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

namespace
{
// The mode the received file is given: read, write and execute for the owner, read and execute
// for the others. The receiver's folder is the owner's alone, and every kept copy is made
// owner-only by UsersDataStore.
const QFileDevice::Permissions kReceivedFileMode =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
} // namespace

UsersDataMigration::UsersDataMigration(Trace trace) : trace(std::move(trace)) {}

UsersDataMigration::~UsersDataMigration()
{
    release();
}

bool UsersDataMigration::integrityOk(const QString& result)
{
    return result.compare(QLatin1String("ok"), Qt::CaseInsensitive) == 0;
}

QString UsersDataMigration::journalBeside(const QString& path)
{
    for (const char* suffix : {"-journal", "-wal"}) {
        if (QFileInfo::exists(path + QLatin1String(suffix)))
            return QLatin1String(suffix);
    }
    return QString();
}

UsersDataMigration::Outcome UsersDataMigration::run(const QString& file, bool truncated,
                                                    const QString& keptFolder,
                                                    const QStringList& statements, bool migrate)
{
    release();
    path = file;
    reached = false;
    failed.clear();
    original.clear();

    const Outcome received = checkReceived(truncated);
    if (received != Outcome::Sound)
        return received;
    trace(QStringLiteral("Users File Path: %1\r\n").arg(path));
    if (!keepOriginal(keptFolder))
        return Outcome::NotKept;

    if (!QFile::setPermissions(path, kReceivedFileMode)) {
        qDebug() << "Something wrong!";
        trace(QStringLiteral("setPermissions Failed\r\n"));
    } else {
        trace(QStringLiteral("Setted all permissions to BrenvikDATA successfully\r\n"));
    }

    open();
    if (!integrityOk(integrity())) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        release();
        return Outcome::Corrupted;
    }
    reached = true;
    if (!migrate)
        trace(QStringLiteral("Users Settings left untouched\r\n"));
    else
        runStatements(statements);
    return checkAfresh();
}

UsersDataMigration::Outcome UsersDataMigration::checkReceived(bool truncated)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        trace(QStringLiteral("User Settings File Not Found\r\n"));
        return Outcome::Missing;
    }
    if (info.size() == 0) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        return Outcome::Empty;
    }
    if (truncated) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        trace(QStringLiteral("User Settings File shorter than announced by the Device\r\n"));
        return Outcome::Truncated;
    }
    return Outcome::Sound;
}

// The file exactly as it came, before SQLite or any statement has touched it.
bool UsersDataMigration::keepOriginal(const QString& keptFolder)
{
    QString why;
    original = UsersDataStore::keepAs(
        path, keptFolder, UsersDataStore::originalName(QFileInfo(path).fileName()), &why);
    if (original.isEmpty()) {
        trace(QStringLiteral("Users Data could not be kept: %1\r\n").arg(why));
        return false;
    }
    trace(QStringLiteral("Users Data as received kept in %1\r\n").arg(original));
    return true;
}

// A file that cannot be opened fails the integrity check that follows.
void UsersDataMigration::open()
{
    // A connection of its own: workers of one process check their consoles' files side by side.
    static std::atomic<int> serial{0};
    connectionName = QStringLiteral("usersdata-%1").arg(++serial);
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(path);
    if (!db.open()) {
        qDebug() << "Error: connection with database failure";
        if (db.lastError().isValid())
            trace(QStringLiteral("Error: connection with Storage failure: %1\r\n")
                      .arg(db.lastError().text()));
        else
            trace(QStringLiteral("Error: connection with Storage failure\r\n"));
    } else {
        qDebug() << "Storage: connection ok";
        trace(QStringLiteral("Storage: connection ok\r\n"));
    }
}

// "ok" when SQLite finds the open database sound; empty when it gives no row.
QString UsersDataMigration::integrity()
{
    QSqlQuery query(QStringLiteral("PRAGMA integrity_check"), db);
    qDebug() << "PRAGMA integrity_check";
    const QString result = query.next() ? query.value(0).toString() : QString();
    trace(QStringLiteral("Results = %1\r\n").arg(result));
    qDebug() << "Results =" << result;
    return result;
}

void UsersDataMigration::runStatements(const QStringList& statements)
{
    QSqlQuery query(db);
    int step = 0;
    for (const QString& statement : statements) {
        ++step;
        // SQLite checks a statement when it is prepared: one that names what is not there fails
        // then, and its reason is the prepare's.
        bool done = query.prepare(statement);
        if (done)
            done = query.exec();
        trace(QStringLiteral("Editing User Settings File.. Step %1\r\n").arg(step));
        // The sequence goes on, but a statement that did not apply must not pass unseen.
        if (!done) {
            const QSqlError error = query.lastError();
            const QString reason =
                error.databaseText().isEmpty() ? error.text() : error.databaseText();
            trace(QStringLiteral("Editing User Settings File.. Step %1 failed: %2\r\n")
                      .arg(step)
                      .arg(reason));
            failed << QStringLiteral("Step %1: %2: %3").arg(step).arg(statement, reason);
        }
    }
}

// The statements may have left the file unsound, and the console must not be erased for it.
// Checked on a fresh connection, as the console will read it: the one that ran the statements
// may still hold its own view of the schema.
UsersDataMigration::Outcome UsersDataMigration::checkAfresh()
{
    release();
    open();
    const bool sound = integrityOk(integrity());
    release();
    if (!sound) {
        trace(QStringLiteral("User Settings File Corrupted by the migration\r\n"));
        return Outcome::BrokenByMigration;
    }
    // Closed, the file must stand alone.
    const QString journal = journalBeside(path);
    if (!journal.isEmpty()) {
        trace(QStringLiteral("%1%2 left beside the User Settings File\r\n")
                  .arg(QFileInfo(path).fileName(), journal));
        return Outcome::BrokenByMigration;
    }
    return Outcome::Sound;
}

// Qt warns about a connection removed while a handle to it is still held: the handle goes first.
void UsersDataMigration::release()
{
    if (!db.isValid())
        return;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}
