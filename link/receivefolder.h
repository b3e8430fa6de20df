#ifndef RECEIVEFOLDER_H
#define RECEIVEFOLDER_H

#include <QString>

// Where received files go: the folder a caller set, or else a folder of this user's own
// (owner-only, random name) under the temporary location, made on first use and kept.
class ReceiveFolder
{
public:
    void set(const QString& folder) { chosen = folder; }
    // Empty when no private folder can be made: a fixed name under a shared folder could be
    // made or watched by another user first.
    QString path();
    // The folder made here; empty when none was.
    QString own() const { return made; }
    // Removes the folder made here when nothing is left in it.
    void removeOwnIfEmpty();

private:
    QString chosen;
    QString made;
};

#endif // RECEIVEFOLDER_H
