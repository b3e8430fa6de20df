#ifndef SIMFILESTORE_H
#define SIMFILESTORE_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The console's file store: a flat folder that stands for "/" on the console. Console paths
// never leave the folder, and the simulator's own records kept there (its state, its log, the
// last image received) are out of the console's reach.
class SimFileStore
{
public:
    struct Entry {
        QString name; // console path, "/BrenvikDATA"
        qint64 size = 0;
    };

    explicit SimFileStore(const QString& dir);

    QString dir() const { return folder; }
    // The simulator's own record files in the folder, by name.
    QString recordPath(const QString& name) const;
    static bool isRecord(const QString& name);

    // Local path of a console path; empty (with the reason in error) for a path outside the
    // folder or a record file.
    QString resolve(const QString& consolePath, QString* error) const;
    bool exists(const QString& consolePath) const;
    QList<Entry> list() const;
    bool read(const QString& consolePath, QByteArray* data, QString* error) const;
    // Replaces the file as a whole or not at all.
    bool write(const QString& consolePath, const QByteArray& data, QString* error);
    bool remove(const QString& consolePath, QString* error);
    // Replaces a file already at the destination.
    bool rename(const QString& from, const QString& to, QString* error);
    // Removes every console file; the records stay.
    bool wipe(QString* error);

private:
    QString folder;
};

#endif // SIMFILESTORE_H
