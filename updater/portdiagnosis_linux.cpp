// The Linux side of PortDiagnosis: error numbers, the device's group, and the /proc scan for
// processes that hold the device open.
#include "portdiagnosis.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

PortDiagnosis::Reason PortDiagnosis::reasonFor(int openErrno)
{
    switch (openErrno) {
    case 0:
        return NoError;
    case EACCES:
    case EPERM:
    case EROFS:
        return PermissionDenied;
    case EBUSY:  // TIOCEXCL held by another opener
    case EAGAIN: // a lock another process holds (EWOULDBLOCK is the same number)
    case ETXTBSY:
        return Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: // the USB device went while its node still existed
    case ENOTDIR:
        return Gone;
    default:
        return OtherError;
    }
}

QString PortDiagnosis::errorText(int openErrno)
{
    return QString::fromLocal8Bit(std::strerror(openErrno));
}

QString PortDiagnosis::groupOwning(const QString& device)
{
    struct stat st;
    if (::stat(QFile::encodeName(device).constData(), &st) != 0)
        return QString();
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString::number(st.st_gid);
    return QString::fromLocal8Bit(found->gr_name);
}

bool PortDiagnosis::currentUserInGroup(const QString& group)
{
    std::vector<char> buffer(16384);
    struct group entry;
    struct group* found = nullptr;
    const QByteArray name = group.toLocal8Bit();
    if (::getgrnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    const gid_t gid = found->gr_gid;
    if (::getegid() == gid)
        return true;
    // The groups of this process (set at login), not those in /etc/group now: that is what
    // decides whether the open succeeds.
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[size_t(i)] == gid)
            return true;
    }
    return false;
}

QList<PortDiagnosis::Holder> PortDiagnosis::processesHolding(const QString& device)
{
    QList<Holder> result;
    struct stat target;
    if (::stat(QFile::encodeName(device).constData(), &target) != 0 || !S_ISCHR(target.st_mode))
        return result;

    const QDir proc(QStringLiteral("/proc"));
    const QStringList entries = proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        // Other users' descriptors are not readable without privileges; those processes are
        // simply not named.
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(entry));
        const QStringList fdNames =
            fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        bool holds = false;
        for (const QString& fd : fdNames) {
            struct stat st;
            // stat follows the link to the open file itself, so a device reached by another
            // name (a symlink such as /dev/serial/by-id/...) still matches.
            const QByteArray link = QFile::encodeName(fds.filePath(fd));
            if (::stat(link.constData(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == target.st_rdev) {
                holds = true;
                break;
            }
        }
        if (!holds)
            continue;
        Holder h;
        h.pid = pid;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(entry));
        if (comm.open(QIODevice::ReadOnly))
            h.name = QString::fromLocal8Bit(comm.readAll()).trimmed();
        result << h;
    }
    return result;
}
