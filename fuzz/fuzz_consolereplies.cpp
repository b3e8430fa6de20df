// The console's replies are whatever arrived during a fixed wait: line noise, a loader's "C"s,
// half a reply. Every parser must take any bytes.
#include "consolereplies.h"
#include "usersdatamigration.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray reply(reinterpret_cast<const char*>(data), int(size));

    if (ConsoleReplies::clean(reply).size() > reply.size())
        abort();

    const bool before = ConsoleReplies::loaderBeforeUpdate(reply);
    const bool after = ConsoleReplies::loaderAfterUpdate(reply);
    if (after && !before)
        abort(); // four "C"s in a row hold a "C"

    (void)ConsoleReplies::versionNumber(reply);
    QString version = ConsoleReplies::versionText(reply);
    const QString unchanged = version;
    if (!ConsoleReplies::appendBuildVersion(version, reply) && version != unchanged)
        abort();

    QString name, monitorId, serial;
    if (!ConsoleReplies::identity(reply, name, monitorId) &&
        (!name.isEmpty() || !monitorId.isEmpty()))
        abort();
    (void)ConsoleReplies::article(reply);
    (void)ConsoleReplies::serialNumber(reply, serial);
    (void)UsersDataMigration::integrityOk(QString::fromLatin1(reply));
    return 0;
}
