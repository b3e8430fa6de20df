#ifndef FIRMWARERELEASE_H
#define FIRMWARERELEASE_H

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <memory>

// A firmware release as a folder holds it: versions.ini and the 16 MiB image. Read whole before
// any console is touched; a release that is missing or malformed says why and offers nothing.
class FirmwareRelease
{
public:
    static constexpr qint64 ImageSize = 16777216;

    // The folder the installed package puts its release in: the second of the data locations
    // (the first is the user's own), or the only one.
    static QString defaultFolder();

    // False, with problem() saying why, when the folder holds no usable release.
    bool read(const QString& folder);

    QString problem() const { return why; }
    QString folder() const { return dir; }
    QString imagePath() const { return imageFile; }
    // "Full", the release's version as the console reports it after the update.
    QString full() const { return fullVersion; }
    QString date() const { return releaseDate; }
    // The update deletes every console's users' data ("Forced").
    bool forced() const { return forcedUpdate; }
    // The migration statements and the version limits, as the worker takes them.
    QStringList* queryList() { return &statements; }
    int vChanged() const { return vChangedNumber; }
    int minorVersion() const { return minorNumber; }
    // The image's bytes, read at the first call and shared by every caller after it; empty
    // when path is not the release's image or it cannot be read whole. Thread-safe.
    QByteArray image(const QString& path);

private:
    QString why;
    QString dir;
    QString imageFile;
    QString fullVersion;
    QString releaseDate;
    bool forcedUpdate = false;
    QStringList statements;
    int vChangedNumber = 0;
    int minorNumber = 0;
    std::shared_ptr<QMutex> imageMutex = std::make_shared<QMutex>();
    QByteArray imageBytes;
};

#endif // FIRMWARERELEASE_H
