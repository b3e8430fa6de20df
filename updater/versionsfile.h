#ifndef VERSIONSFILE_H
#define VERSIONSFILE_H

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QVector>

class QIODevice;

// Reader of the package's versions.ini. It only parses: the window acts on the entries in the
// order they were found (logging, the forced-update warning, handing queries to the worker), so
// that those effects keep the order of the file.
class VersionsFile
{
    Q_DECLARE_TR_FUNCTIONS(VersionsFile)

public:
    // In the order each line is tested against them.
    enum Key {
        Full,
        Bootloader,
        Application,
        Build,
        Bluetooth,
        Date,
        MinorVersion,
        VChanged,
        Forced,
        Query,
        KeyCount
    };

    struct Entry {
        Key key;
        QString value;
    };

    // A line is read in pieces of at most this many bytes; each piece counts as a line.
    static constexpr int MaxPieceBytes = 1023;
    // Pieces this short (terminator included) carry nothing and are skipped.
    static constexpr int MaxIgnoredBytes = 2;

    // Returns false when the file is missing, cannot be opened or fails to read; the reader is
    // then empty.
    bool read(const QString& path);
    void parse(QIODevice& device);

    // The kept lines of a device, with CR and LF removed.
    static QStringList readLines(QIODevice& device);
    static QString keyName(Key key);
    // Whether a text is exactly 6 decimal digits; "000000" is one, of value 0.
    static bool isVersionNumber(const QString& text);
    // The value of a text of exactly 6 decimal digits, else 0.
    static int versionNumber(const QString& text);
    static bool isForcedValue(const QString& value);

    // A package whose file is unreadable, headless or cut off must not be offered: a cut-off
    // file would migrate the users' data with only part of its statements.
    bool isValid() const { return problem().isEmpty(); }
    // Why the file is not valid, for the user; empty when it is.
    QString problem() const;

    bool hasHeader() const { return header; }
    // Every key assignment, in file order (within a line, in key order).
    const QVector<Entry>& entries() const { return found; }
    // The last value given to a key, empty when none.
    QString value(Key key) const;
    bool hasQuery() const { return queryFound; }
    // The count the Query line asked for (0 when not a number); queries() may hold fewer when
    // the file ends early.
    int queryCount() const { return requestedQueries; }
    const QStringList& queries() const { return queryLines; }

private:
    void clear();

    bool readable = false;
    bool header = false;
    bool queryFound = false;
    int requestedQueries = 0;
    QVector<Entry> found;
    QStringList queryLines;
};

#endif // VERSIONSFILE_H
