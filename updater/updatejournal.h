#ifndef UPDATEJOURNAL_H
#define UPDATEJOURNAL_H

#include <QDateTime>
#include <QList>
#include <QString>

// A small record of one update, kept in the updater's data location so that an update cut off
// half way (power, cable, a crash) can be recognised when the updater starts again: which
// console, how far it got, and where its users' data was saved. Written whole and atomically at
// every change; marked finished when the update ends either way.
class UpdateJournal
{
public:
    enum Phase {
        Started,        // update asked for, nothing changed on the console yet
        UsersDataSaved, // the users' database was fetched and kept (usersFile)
        ImageSending,   // the console was put into its loader and the image is going out
        ImageSent,      // the console re-flashes itself
        Restoring,      // the users' data is being sent back
        Restored,       // the users' data is back on the console
        Finished        // the update ended (successfully or not, see `succeeded`)
    };

    struct Identity {
        QString serialNumber;
        QString firmwareVersion;
        QString articleNumber;
        QString deviceName;
        QString monitorId;
    };

    struct Entry {
        QString path; // the journal file
        Identity identity;
        Phase phase = Started;
        QString usersFile;
        QDateTime started;
        QDateTime updated;
        bool succeeded = false;
        QString release;    // the release the update was for ("Full"), when known
        int resultCode = 0; // how a finished update ended (0: well)
        bool isFinished() const { return phase == Finished; }
    };

    // Journals go to `directory` (created on demand); without one, to defaultDirectory() as
    // it is when the first journal is written (the application's names are set by then).
    explicit UpdateJournal(const QString& directory = QString());

    static QString defaultDirectory();
    QString directory() const;

    // Starts a new journal for this console. Unfinished journals of the same console stay as
    // they are: each still names users' data that may not be on the console.
    bool begin(const Identity& identity, const QString& release = QString());
    // Carries on writing an unfinished journal found by findRescuable() (one without a journal
    // file behind it starts a new journal with its identity and users' file).
    bool resume(const Entry& entry);
    bool setPhase(Phase phase);
    // The users' file kept, and the serial number of the console it was taken from (when given).
    bool setUsersFile(const QString& path, const QString& serialNumber = QString());
    // Ends the journal: it stays on disk, marked finished, as a record of the run.
    bool finish(bool succeeded, int resultCode = 0);

    bool isOpen() const { return open; }
    const Entry& entry() const { return current; }
    QString errorString() const { return error; }

    // Reads one journal; false when it is missing or not a journal.
    static bool read(const QString& path, Entry* entry);
    // Every journal in `directory`, newest first.
    static QList<Entry> all(const QString& directory = defaultDirectory());
    // The unfinished journals in `directory` that name a users' file still on disk and whose
    // data have not gone back to the console, newest first.
    static QList<Entry> unfinished(const QString& directory = defaultDirectory());
    // What can be put back on a console found in its loader: the newest unfinished journal for
    // that serial number (any console's when the serial number is unknown, as it is for a
    // console in its loader); failing that, with a serial number, the newest users' file kept
    // for it in `usersFolder` (in a folder "<serial number>_<time>"). Returns false when there is
    // nothing.
    static bool findRescuable(const QString& serialNumber, const QString& usersFolder, Entry* found,
                              const QString& directory = defaultDirectory());

    // The newest unfinished journal of the console with this serial number (never another
    // console's, and never a kept file without a journal).
    static bool findUnfinished(const QString& serialNumber, Entry* found,
                               const QString& directory = defaultDirectory());

    // When the newest update of this console that ended well started; invalid when none did.
    static QDateTime lastSuccess(const QString& serialNumber,
                                 const QString& directory = defaultDirectory());

    static QString phaseName(Phase phase);

private:
    bool write();

    QString dir;
    Entry current;
    bool open = false;
    QString error;
};

#endif // UPDATEJOURNAL_H
