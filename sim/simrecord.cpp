#include "simrecord.h"

#include "simfilestore.h"

#include <QJsonArray>

QString SimRecord::stateName(State s)
{
    switch (s) {
    case State::Application:
        return QStringLiteral("application");
    case State::Shell:
        return QStringLiteral("shell");
    case State::Sending:
        return QStringLiteral("sending");
    case State::Receiving:
        return QStringLiteral("receiving");
    case State::Rebooting:
        return QStringLiteral("rebooting");
    case State::Away:
        return QStringLiteral("away");
    case State::Loader:
        return QStringLiteral("loader");
    case State::Programming:
        return QStringLiteral("programming");
    case State::Silent:
        return QStringLiteral("silent");
    case State::HungUp:
        return QStringLiteral("hungup");
    case State::Stopped:
        return QStringLiteral("stopped");
    }
    return QString();
}

QJsonObject SimRecord::toJson(const SimFileStore& store) const
{
    QJsonObject o;
    o[QStringLiteral("state")] = stateName(state);
    o[QStringLiteral("device")] = device;
    o[QStringLiteral("link")] = link;
    o[QStringLiteral("serialNumber")] = serialNumber;
    o[QStringLiteral("version")] = version;
    o[QStringLiteral("resetCount")] = resetCount;
    o[QStringLiteral("bootCount")] = bootCount;
    o[QStringLiteral("replugs")] = replugs;
    o[QStringLiteral("hangups")] = hangups;
    o[QStringLiteral("sectorErased")] = sectorErased;
    o[QStringLiteral("imagesProgrammed")] = imagesProgrammed;
    o[QStringLiteral("imagesRejected")] = imagesRejected;
    o[QStringLiteral("imageStored")] = imagesProgrammed > 0;
    o[QStringLiteral("imageName")] = imageName;
    o[QStringLiteral("imageSize")] = double(imageSize);
    o[QStringLiteral("filesWiped")] = filesWiped;
    o[QStringLiteral("usersDbReceived")] = usersDbReceived;
    o[QStringLiteral("filesReceived")] = filesReceived;
    o[QStringLiteral("filesSent")] = filesSent;
    o[QStringLiteral("moduleRenamed")] = moduleRenamed;
    o[QStringLiteral("lastStep")] = lastStep;
    o[QStringLiteral("lastTransfer")] = lastTransfer;
    o[QStringLiteral("usersDbPresent")] = store.exists(QStringLiteral("/BrenvikDATA"));
    o[QStringLiteral("modulePresent")] = store.exists(QStringLiteral("/R-BTM093004_.cyacd"));
    o[QStringLiteral("renamedModulePresent")] = store.exists(QStringLiteral("/R-BTM093004.cyacd"));
    QJsonArray files;
    for (const SimFileStore::Entry& e : store.list()) {
        QJsonObject f;
        f[QStringLiteral("name")] = e.name;
        f[QStringLiteral("size")] = double(e.size);
        files.append(f);
    }
    o[QStringLiteral("files")] = files;
    return o;
}
