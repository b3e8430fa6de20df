#ifndef SIMYMODEM_H
#define SIMYMODEM_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

class SimPty;

// The console's own YMODEM (CRC-16) sender and receiver. Written apart from the updater's
// engine on purpose: each is the other's independent check. Both behave as patient, standard
// peers (lrzsz is the model): the sender waits for "C" before the header and before block 1,
// resends on NAK or "C"; the receiver polls with "C", NAKs bad blocks and ACKs repeats.
class SimYmodem
{
public:
    enum class Outcome {
        Done,          // the batch ended normally
        PeerCancelled, // the other side sent CAN CAN
        WeCancelled,   // a fault option made us send CAN CAN
        Failed,        // a bound ran out or the other side broke the protocol
        Stopped        // the line closed, the console stopped, or a step said stop
    };

    struct Faults {
        int cancelBlock = -1;
        int nakBlock = -1;
        int corruptBlock = -1;
    };

    struct File {
        QString name;           // last path component of the header's name
        qint64 headerSize = -1; // size from the header, -1 when it gave none
        QByteArray data;
    };

    struct ReceiveSetup {
        int pollMs = 1000;        // interval of the "C" requests before the header
        int giveUpMs = 60000;     // no sender within this time ends the receive; < 0: never
        int headerAckDelayMs = 0; // the loader erases its memory before it ACKs the header
        bool pollDuringHeaderDelay = false; // sends "C" every pollMs while it erases
        int endWaitMs = 2000;               // wait for the next header after an EOT
        // Text lines that arrive while no transfer has started (the loader answers "VE");
        // returning false ends the receive.
        std::function<bool(const QByteArray& line)> onLine;
    };

    // A step name ("header", "block:3", "eot"); returning false ends the transfer at once.
    using Checkpoint = std::function<bool(const QString& step)>;

    explicit SimYmodem(SimPty& line);

    void setFaults(const Faults& f) { faults = f; }
    void setCheckpoint(Checkpoint c) { checkpoint = std::move(c); }

    static quint16 crc16(const char* data, int length);

    // Sends one file as a batch: header, blocks, EOT, the closing empty header.
    Outcome send(const QString& name, const QByteArray& data, QString* detail);
    // Answers the receiver's first request with CAN CAN (nothing to send).
    Outcome refuse(QString* detail);
    // Receives one batch; every completed file is appended to files.
    Outcome receive(const ReceiveSetup& setup, QList<File>* files, QString* detail);

private:
    enum class Answer { Ack, Nak, RequestC, Cancel, Timeout, Closed, Other };
    Answer waitAnswer(int timeoutMs, char* other = nullptr);
    // The loader's erase before the header's ACK.
    bool delayHeaderAck(const ReceiveSetup& setup);
    bool waitForRequest(int timeoutMs, QString* detail, Outcome* outcome);
    bool step(const QString& name) { return !checkpoint || checkpoint(name); }
    void cancel();
    QByteArray block(int number, const QByteArray& payload, int size, bool badCrc) const;

    SimPty& line;
    Faults faults;
    Checkpoint checkpoint;
};

#endif // SIMYMODEM_H
