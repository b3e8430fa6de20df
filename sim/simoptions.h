#ifndef SIMOPTIONS_H
#define SIMOPTIONS_H

#include <QString>
#include <QStringList>

// Everything that shapes one simulated console: its identity, where it keeps its files, its
// own delays and the faults a test asks for. The same struct serves the command line and
// in-process use.
struct SimOptions {
    enum class UsersDb { Normal, None, Empty, Corrupt };

    // The one place that chooses between the real console's behaviour and the kinder one the
    // older tests were written against: each field below that reads it can also be set alone.
    static constexpr bool Realistic = true;

    // Folder that stands for the console's file store ("/" on the console).
    QString dir;
    // Symbolic link made to the slave side of the pseudo-terminal, if not empty; a new device
    // after a replug gets the same link, as a fixed COM name would be.
    QString link;
    // Instead of link: every new device gets a new link LINKDIR/ttyACM<n>, n the lowest
    // number this console has not used yet and no other console holds, as a Linux ttyACM
    // number moves while the old one is still held open.
    QString linkDir;

    // Identity replies, without their line end.
    QString version = QStringLiteral("01020304");
    QString newVersion = QStringLiteral("01020500");
    QString bv = QStringLiteral("2.1.7");
    QString ki = QStringLiteral("MON-000417\tBrenvik E7 Console");
    QString ca = QStringLiteral("ART-7730-021");
    QString sn = QStringLiteral("SN\tBRV2403001234\tE7");

    // A reset (and the restart at the end of a flash) drops the line: the pseudo-terminal
    // closes, so an open port sees the hang-up, and a new device appears resetAwayMs later
    // (before the time scale).
    // When false, the line stays open across the restart. A real console is back within 1 to
    // 3 s: the slow end is the default.
    bool resetDropsLine = Realistic;
    int resetAwayMs = 3000;
    // The image is the console's file system: once the loader has written it, the users'
    // database is gone and the files are those of the new image. When false, every file stays.
    bool flashReplacesFiles = Realistic;
    // The loader sends "C" every pollMs while it erases, before it acknowledges the header.
    bool pollDuringErase = false;

    bool startInLoader = false;
    bool restartInLoaderAfterImage = false;
    // The loader takes a whole image and then refuses it: the old firmware starts again with
    // its version and its files as they were.
    bool rejectImage = false;
    UsersDb usersDb = UsersDb::Normal;

    // Own delays in milliseconds, before the time scale.
    double timeScale = 1.0;
    int rebootMs = 2000;      // silence after "reset" before the application or the loader talks
    int loaderQuietMs = 1000; // extra silence of the loader before its first "C"
    int pollMs = 1000;        // interval of the "C" requests
    int eraseMs = 3000;   // memory erase before the loader acknowledges block 0 (may be minutes)
    int programMs = 4000; // programming the received image before the restart
    int replyDelayMs = 0; // delay before each information reply (a slow console)
    // Bytes per second the console takes in (a USB full-speed line: about 340000); 0: as fast
    // as the pseudo-terminal.
    int lineRate = 0;
    QByteArray replyJunk; // bytes put before each information reply (a noisy line)

    // Transfer faults; a block number of -1 means none. Block 0 is the header.
    int cancelBlock = -1;
    int nakBlock = -1;
    int corruptBlock = -1;
    // Which transfers the faults and the transfer steps apply to: "any", "send",
    // "receive" (the shell's "receive file") or "loader".
    QString faultTransfer = QStringLiteral("any");
    // Asked to send or to receive a file in its shell (the transfers of faultTransfer), the
    // console never starts: it only trickles a stray byte every pollMs until the line goes.
    bool trickle = false;
    // Named step at which the console falls silent for good, or drops the line.
    QString silentAt;
    QString hangupAt;
    // After the hang-up of hangupAt (a pulled cable): plug in again after this many ms, as a
    // reset does; a negative value ends the console instead.
    int replugAfterMs = -1;

    bool verbose = false;

    // The serial number, the second TAB field of the SN reply.
    QString serialNumber() const;

    // Scaled delay, never below 1 ms for a positive delay.
    int scaled(int ms) const;

    // Parses a command line (without the program name). On failure returns false and puts
    // the reason in error.
    bool parse(const QStringList& args, QString* error);
    static QString usage();
};

#endif // SIMOPTIONS_H
