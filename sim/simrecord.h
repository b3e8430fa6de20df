#ifndef SIMRECORD_H
#define SIMRECORD_H

#include <QJsonObject>
#include <QString>

class SimFileStore;

// What became of one simulated console, as DIR/state.json tells tests and people.
struct SimRecord {
    enum class State {
        Application,
        Shell,
        Sending,
        Receiving,
        Rebooting,
        Away, // between a dropped line and the new device
        Loader,
        Programming,
        Silent,
        HungUp,
        Stopped
    };

    State state = State::Application;
    QString device; // the slave path of the current pseudo-terminal
    QString link;   // the link that points at it, if any
    QString serialNumber;
    QString version;
    int resetCount = 0;
    int bootCount = 0;
    int replugs = 0; // new devices offered after the first
    int hangups = 0; // pulled cables (hangupAt)
    bool sectorErased = false;
    int imagesProgrammed = 0;
    int imagesRejected = 0; // whole images the loader refused after their check
    QString imageName;
    qint64 imageSize = -1;
    int filesWiped = 0; // times a flash replaced the file system
    int usersDbReceived = 0;
    int filesReceived = 0;
    int filesSent = 0;
    bool moduleRenamed = false;
    QString lastStep;
    QJsonObject lastTransfer;

    static QString stateName(State s);
    // The record and what the store holds now.
    QJsonObject toJson(const SimFileStore& store) const;
};

#endif // SIMRECORD_H
