#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include <QString>
#include <QStringList>

// Everything that shapes one simulated console: its identity, where it keeps its files, its
// own delays and the faults a test asks for. The same struct serves the command line and
// in-process use.
struct SimOptions {
    enum class UsersDb { Normal, None, Empty, Corrupt };

    // Folder that stands for the console's file store ("/" on the console).
    QString dir;
    // Symbolic link made to the slave side of the pseudo-terminal, if not empty.
    QString link;

    // Identity replies, without their line end.
    QString version = QStringLiteral("01020304");
    QString newVersion = QStringLiteral("01020500");
    QString bv = QStringLiteral("2.1.7");
    QString ki = QStringLiteral("MON-000417\tBrenvik E7 Console");
    QString ca = QStringLiteral("ART-7730-021");
    QString sn = QStringLiteral("SN\tBRV2403001234\tE7");

    bool startInLoader = false;
    bool restartInLoaderAfterImage = false;
    UsersDb usersDb = UsersDb::Normal;

    // Own delays in milliseconds, before the time scale.
    double timeScale = 1.0;
    int rebootMs = 2000;      // silence after "reset" before the application or the loader talks
    int loaderQuietMs = 1000; // extra silence of the loader before its first "C"
    int pollMs = 1000;        // interval of the "C" requests
    int eraseMs = 3000;       // memory erase before the loader acknowledges block 0
    int programMs = 4000;     // programming the received image before the restart
    int replyDelayMs = 0;     // delay before each information reply (a slow console)
    QByteArray replyJunk;     // bytes put before each information reply (a noisy line)

    // Transfer faults; a block number of -1 means none. Block 0 is the header.
    int cancelBlock = -1;
    int nakBlock = -1;
    int corruptBlock = -1;
    // Which transfers the faults and the transfer steps apply to: "any", "send",
    // "receive" (the shell's "receive file") or "loader".
    QString faultTransfer = QStringLiteral("any");
    // Named step at which the console falls silent for good, or drops the line.
    QString silentAt;
    QString hangupAt;
    // After a hang-up: open a new pseudo-terminal after this many ms (and move the link);
    // a negative value ends the console instead.
    int replugAfterMs = -1;

    bool verbose = false;

    // Scaled delay, never below 1 ms for a positive delay.
    int scaled(int ms) const;

    // Parses a command line (without the program name). On failure returns false and puts
    // the reason in error.
    bool parse(const QStringList& args, QString* error);
    static QString usage();
};

#endif // SIMOPTIONS_H
