// versions.ini comes with the package, possibly hand-edited: any bytes must parse without a
// crash, and what comes out must keep the reader's own promises.
#include "versionsfile.h"

#include <QBuffer>
#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        abort();

    VersionsFile file;
    file.parse(buffer);

    for (const VersionsFile::Entry& entry : file.entries()) {
        if (entry.key < 0 || entry.key >= VersionsFile::KeyCount)
            abort();
    }
    for (int k = 0; k < VersionsFile::KeyCount; ++k) {
        const QString value = file.value(VersionsFile::Key(k));
        if (VersionsFile::versionNumber(value) < 0)
            abort(); // 6 characters at most: never negative, never overflowing
        (void)VersionsFile::isForcedValue(value);
        (void)VersionsFile::keyName(VersionsFile::Key(k));
    }
    if (!file.hasQuery() && !file.queries().isEmpty())
        abort();
    if (file.queries().size() > qMax(0, file.queryCount()))
        abort();

    // The same bytes read line by line: no line longer than a piece.
    buffer.seek(0);
    for (const QString& line : VersionsFile::readLines(buffer)) {
        if (line.toUtf8().size() > 4 * VersionsFile::MaxPieceBytes)
            abort();
    }
    return 0;
}
