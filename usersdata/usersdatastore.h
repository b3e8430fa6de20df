#ifndef USERSDATASTORE_H
#define USERSDATASTORE_H

#include <QString>

// Keeps copies of the consoles' users' databases in the updater's own data location, so that
// an update that fails after the console's memory was erased never leaves the users' data only
// in the temporary folder. Copies are never deleted by the updater.
class UsersDataStore
{
public:
    // The folder of the copies (created on demand, readable by the owner only).
    static QString folder();

    // Copies the file at source, under its own name, into a new folder of folder() named with
    // the console's serial number and the time. Returns the copy's path, or an empty text and
    // a reason in error when the copy could not be written whole.
    static QString keep(const QString& source, const QString& serialNumber,
                        QString* error = nullptr);

    // A new owner-only folder of folder() named with the serial number and the time; empty
    // text and a reason in error when it cannot be made.
    static QString newFolder(const QString& serialNumber, QString* error = nullptr);
    // Copies source whole into dir under name, owner-only (0600). Returns the copy's path, or
    // an empty text and a reason in error.
    static QString keepAs(const QString& source, const QString& dir, const QString& name,
                          QString* error = nullptr);
    // The name of the users' file exactly as received, kept beside the migrated one (which
    // keeps the console's own name: it travels in the YMODEM header when the file goes back).
    static QString originalName(const QString& fileName);
    // The name of the console's own users' file fetched right before a restore replaced it
    // (YMODEM::setKeepConsoleCopy), kept for the record in a folder of its own.
    static QString beforeRestoreName(const QString& fileName);
    // Whether path names a copy kept for the record only, never one to send back to a
    // console: the file as received before the migration (originalName) or the console's own
    // file before a restore (beforeRestoreName).
    static bool isOriginalCopy(const QString& path);

    // Whether path names a copy made by keep().
    static bool isKeptCopy(const QString& path);

    // The serial number as a safe part of a file name ("unknown" when there is none).
    static QString fileNamePart(const QString& serialNumber);
};

#endif // USERSDATASTORE_H
