#ifndef USERSDATAMIGRATION_H
#define USERSDATAMIGRATION_H

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

// Checks a users' database received from a console and migrates it in place with a release's
// statements, after keeping the file exactly as it came. The database is opened under Qt's
// default connection, so one migration runs at a time in a process; it is let go at the end of
// run() and when the migration is destroyed.
class UsersDataMigration
{
public:
    enum class Outcome {
        Sound,             // sound (and migrated when asked), closed, with no journal beside it
        Missing,           // no file came
        Empty,             // the file is empty
        Truncated,         // the file came shorter than the console announced
        NotKept,           // the file as received could not be kept
        Corrupted,         // it fails "PRAGMA integrity_check" as received
        BrokenByMigration, // it fails it after the statements, or a journal was left beside it
    };
    // Where each step is told (the debug console); every text ends its own line.
    using Trace = std::function<void(const QString&)>;

    explicit UsersDataMigration(Trace trace);
    ~UsersDataMigration();
    UsersDataMigration(const UsersDataMigration&) = delete;
    UsersDataMigration& operator=(const UsersDataMigration&) = delete;

    // Checks file (truncated: it came shorter than announced), keeps it as received in
    // keptFolder (UsersDataStore::originalName), runs statements in order when migrate is set and
    // checks the result afresh.
    Outcome run(const QString& file, bool truncated, const QString& keptFolder,
                const QStringList& statements, bool migrate);
    // After run: whether the file was sound as received (the statements' step was reached), the
    // statements that failed as "Step N: <statement>: <reason>", and the kept file as received.
    bool migrationReached() const { return reached; }
    QStringList failedStatements() const { return failed; }
    QString originalCopy() const { return original; }

    // SQLite answers "ok" to "PRAGMA integrity_check" when the file is sound.
    static bool integrityOk(const QString& result);
    // The suffix ("-journal" or "-wal") of a file beside the database at path, empty when there
    // is none: the database is then still open elsewhere or was left inside a transaction, and
    // the file alone does not hold all of it.
    static QString journalBeside(const QString& path);

private:
    Outcome checkReceived(bool truncated);
    bool keepOriginal(const QString& keptFolder);
    void open();
    QString integrity();
    void runStatements(const QStringList& statements);
    Outcome checkAfresh();
    void release();

    Trace trace;
    QString path;
    QSqlDatabase db;
    QString connectionName;
    bool reached = false;
    QStringList failed;
    QString original;
};

#endif // USERSDATAMIGRATION_H
