#ifndef YMODEMRECEIVER_H
#define YMODEMRECEIVER_H

#include "ymodemcode.h"

#include <QElapsedTimer>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <optional>

class ByteLine;
class QFile;

// The YMODEM (CRC-16) receiver over a line with buffered input: one batch a call, each packet
// taken from the capture as soon as it is whole, every answer written back through the line.
class YmodemReceiver
{
public:
    // The values are the worker's result codes for a receive.
    enum class Outcome : int {
        Done = YmodemCode::Done,
        // A block out of sequence, a name or a file refused, no folder, or the file could not
        // be created.
        Refused = YmodemCode::CancelledOnce,
        WriteFailed = YmodemCode::CancelledTwice,
        Aborted = YmodemCode::Aborted, // the sender's packet began with "A" or "a"
        NoSender = YmodemCode::NoSender,
        BadPackets = YmodemCode::BadPackets,
    };

    enum class PacketKind {
        Block,     // a header or data block, its number's complement right and its CRC good
        EndOfFile, // EOT
        Cancelled, // CAN CAN
        Aborted,   // "A" or "a"
        Silence,   // nothing came within the packet wait
        Bad,       // anything else: short, damaged, unknown, a lone CAN, an overrun capture
    };
    struct Packet {
        PacketKind kind = PacketKind::Bad;
        int length = 0; // the data bytes of a Block (128 or 1024); 0 otherwise
    };

    // How the worker hears of the receive: each file's path once its header is taken, and the
    // progress after each data block.
    struct Hooks {
        std::function<void(const QString& path)> fileNamed;
        std::function<void(int percent)> progress;
    };

    // The largest file taken (the users' database is far smaller).
    static constexpr qint64 kMaxFileBytes = qint64(64) * 1024 * 1024;
    // Header byte, number, complement, 1024 data bytes, two CRC bytes.
    static constexpr int kPacketBytes = 1024 + 5;

    explicit YmodemReceiver(ByteLine& line, Hooks hooks = Hooks());
    ~YmodemReceiver();

    // Waits for one packet and copies it to buffer (kPacketBytes long).
    Packet receivePacket(char* buffer);
    // Receives one batch into folder. onlyName, when not empty, is the only file name a header
    // may give (its last path component): any other is refused with CAN CAN and nothing is
    // written. A header announcing more than kMaxFileBytes, data beyond the size the header gave
    // (or beyond kMaxFileBytes when it gave none) and a session longer than its total bound are
    // refused the same way; what was written of that file is removed.
    Outcome receive(const QString& folder, const QString& onlyName);

    // The file the last receive wrote; empty when none was opened or it was removed.
    QString filePath() const { return path; }
    // The last receive ended with a file shorter than its header said, or inside a file whose
    // header gave no size.
    bool truncated() const { return shortFile; }
    // A name the last receive refused because another was asked for; empty when none was.
    QString refusedName() const { return refused; }

private:
    // nullopt: the session goes on.
    using Step = std::optional<Outcome>;
    Step onFailedPacket();
    Step onPacket(const Packet& p);
    Step onBlock(int length);
    Step onHeader(int length);
    Step onData(int length);
    bool openFile(const QString& name);
    void finishFile();
    void cutFile();
    Outcome refuseFile(const QString& why);
    Outcome cancel(Outcome outcome);
    Outcome sessionDone();

    ByteLine& line;
    Hooks hooks;
    char packet[kPacketBytes];

    // State of one receive.
    QString folder;
    QString onlyName;
    QElapsedTimer sinceStart;
    bool sessionStarted = false;
    int errors = 0;
    int expectedBlock = 0;
    qint64 fileSize = 0;
    bool sizeKnown = false;
    qint64 total = 0;
    std::unique_ptr<QFile> file;
    QString path;
    bool shortFile = false;
    QString refused;
};

#endif // YMODEMRECEIVER_H
