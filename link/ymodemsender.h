#ifndef YMODEMSENDER_H
#define YMODEMSENDER_H

#include "ymodemcode.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <functional>

class ByteLine;
class QFileInfo;

// YMODEM sender (CRC-16 mode) over a ByteLine: the header block, the data blocks, each on the
// ACK of the one before, and EOT. The next block is made while the receiver checks the one on
// the line, so that it goes out as soon as the ACK is read.
class YmodemSender
{
public:
    enum class Outcome : int {
        Done = YmodemCode::Done,
        CancelledOnce = YmodemCode::CancelledOnce,
        CancelledTwice = YmodemCode::CancelledTwice,
        EotUnanswered = YmodemCode::EotUnanswered,
        BlockRefused = YmodemCode::BlockRefused,
        BlockUnanswered = YmodemCode::BlockUnanswered,
        HeaderUnanswered = YmodemCode::HeaderUnanswered,
        LineNotQuiet = YmodemCode::LineNotQuiet,
        TooManyBlocks = YmodemCode::TooManyBlocks,
    };
    // How the wait for the receiver's first request (awaitRequest) ended.
    enum class Request { Ready, Cancelled, ReadFailed, TimedOut, Stopped };
    // Status changes; the caller gives them their texts.
    enum class Status {
        HeaderSent,
        BlocksUnderWay,
        Succeeded,
        CancelledByRemote,
        CancelledWithErrors,
        WaitingForSync,
    };

    explicit YmodemSender(ByteLine& line) : line(line) { clock.start(); }

    std::function<void(int)> onProgress;
    std::function<void(Status)> onStatus;

    // Sends one file. headerAckLimitMs bounds the wait for the header's ACK (a loader erases
    // its memory first).
    Outcome send(const QByteArray& contents, const QFileInfo& fileInfo, int headerAckLimitMs);
    // Waits at most limitMs for "C", "c" or NAK (consumed); ten other bytes in a row count as a
    // request too. CAN CAN is answered with ACK and cancels. stop, when given, is asked on
    // every pass.
    Request awaitRequest(int limitMs, const std::function<bool()>& stop);

    static void buildHeader(QByteArray& out, const QFileInfo& fileInfo);
    static void buildData(const char* blockData, QByteArray& out, quint8 blockNumber,
                          quint32 remaining);
    // The empty header that closes a batch, with its CRC.
    static QByteArray endOfBatch();
    static quint16 crc16(const unsigned char* data, int length);

private:
    // A data block's place in the file: its number (from 1), its first byte and how much of the
    // file is left from there.
    struct BlockAt {
        quint32 number = 1;
        quint32 offset = 0;
        quint32 remaining = 0;
        quint32 length() const; // the file's bytes in this block
        bool last() const;
        BlockAt next() const;
    };
    // What the receiver made of the block on the line.
    enum class Answer { Ack, AskedAgain, CancelledOnce, CancelledTwice, Silent };

    static void appendCrc(QByteArray& block);
    static void makeBlock(QByteArray& out, const QByteArray& contents, const BlockAt& at);
    void report(Status status);
    Outcome failWithErrors(Outcome outcome);
    Outcome awaitHeaderAck(int limitMs);
    Outcome awaitRequestAfterHeader();
    Outcome sendBlocks(const QByteArray& contents, quint32 size);
    Answer awaitAnswer(qint64 writtenAt);
    Outcome cancelledByRemote(Answer answer);
    Outcome drainBeforeEot();
    Outcome endFile();
    // One byte of the wait for the first request; Ready when the wait ends with a request.
    bool takeSyncByte(char c, int* passes, Request* result);
    void cancelTransfer();
    qint64 now() const { return clock.elapsed(); }

    ByteLine& line;
    QElapsedTimer clock;
};

#endif // YMODEMSENDER_H
