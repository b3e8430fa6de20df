#include "versionsfile.h"

#include <QFile>
#include <QIODevice>

namespace
{
const char* const keyNames[VersionsFile::KeyCount] = {
    "Full", "Bootloader",   "Application", "Build",  "Bluetooth",
    "Date", "minorVersion", "VChanged",    "Forced", "Query",
};
const char* const headerName = "Versions";
} // namespace

bool VersionsFile::read(const QString& path)
{
    clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    parse(file);
    // A read that fails part-way would pass for a cut-off or headless file.
    if (file.error() != QFileDevice::NoError) {
        clear();
        return false;
    }
    return true;
}

void VersionsFile::clear()
{
    readable = false;
    header = false;
    queryFound = false;
    requestedQueries = 0;
    found.clear();
    queryLines.clear();
}

QStringList VersionsFile::readLines(QIODevice& device)
{
    QStringList lines;
    char piece[MaxPieceBytes + 1];
    for (;;) {
        const qint64 n = device.readLine(piece, sizeof(piece));
        if (n <= 0)
            break;
        if (n <= MaxIgnoredBytes)
            continue;
        QString line = QString::fromUtf8(piece, int(n));
        line.remove(QLatin1Char('\r'));
        line.remove(QLatin1Char('\n'));
        lines.append(line);
    }
    return lines;
}

QString VersionsFile::keyName(Key key)
{
    return QString::fromLatin1(keyNames[key]);
}

bool VersionsFile::isVersionNumber(const QString& text)
{
    // Six decimal digits and nothing else: a sign or a blank makes it no version number.
    if (text.size() != 6)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

int VersionsFile::versionNumber(const QString& text)
{
    return isVersionNumber(text) ? text.toInt() : 0;
}

bool VersionsFile::isForcedValue(const QString& value)
{
    return value.contains(QLatin1String("YES"), Qt::CaseInsensitive);
}

QString VersionsFile::problem() const
{
    if (!readable)
        return tr("versions.ini is missing or cannot be read");
    if (!header)
        return tr("versions.ini has no header");
    if (queryLines.size() < requestedQueries)
        return tr("versions.ini holds %1 of its %2 statements")
            .arg(queryLines.size())
            .arg(requestedQueries);
    return QString();
}

QString VersionsFile::value(Key key) const
{
    for (int i = found.size() - 1; i >= 0; --i) {
        if (found.at(i).key == key)
            return found.at(i).value;
    }
    return QString();
}

void VersionsFile::parse(QIODevice& device)
{
    clear();
    readable = true;
    const QStringList lines = readLines(device);

    int i = 0;
    while (i < lines.size() &&
           !lines.at(i).contains(QLatin1String(headerName), Qt::CaseInsensitive))
        ++i;
    if (i == lines.size())
        return;
    header = true;

    for (++i; i < lines.size(); ++i) {
        const QString& line = lines.at(i);
        // A line without "=" assigns nothing: a remark that happens to name a key must not wipe
        // a value read before it.
        if (!line.contains(QLatin1Char('=')))
            continue;
        const QString value = line.split(QLatin1Char('='), Qt::KeepEmptyParts).at(1);
        for (int k = 0; k < KeyCount; ++k) {
            if (!line.contains(QLatin1String(keyNames[k]), Qt::CaseInsensitive))
                continue;
            found.append(Entry{Key(k), value});
            if (k != Query)
                continue;
            queryFound = true;
            requestedQueries = qMax(0, value.toInt());
            // The statements are the lines that follow; a file that ends early supplies fewer.
            queryLines = lines.mid(i + 1, requestedQueries);
            return;
        }
    }
}
