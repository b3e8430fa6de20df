#ifndef WORKERLINE_H
#define WORKERLINE_H

#include "ptypair.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

class QThread;
class YMODEM;

// The worker in a thread of its own with its port open on a pseudo-terminal; the test plays
// the YMODEM peer on the master side while a job (a send or a receive) runs on the worker's
// thread. Progress and status signals are recorded as they are emitted.
class WorkerLine
{
public:
    enum { Timeout = -1 };
    static const char SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

    struct Block {
        int kind = Timeout; // SOH, STX, EOT, another first byte, or Timeout
        int number = -1;
        int complement = -1;
        QByteArray data;
        bool crcOk = false;
    };

    WorkerLine();
    ~WorkerLine();
    bool isReady() const { return ready; }
    YMODEM& worker() { return *ymodem; }

    // Runs job on the worker's thread; finished()/result() tell how it ended.
    void start(const std::function<int(YMODEM&)>& job);
    bool finished() const { return done.load(); }
    int result() const { return outcome.load(); }
    // Waits for the job (the test thread does nothing meanwhile); false on time-out.
    bool waitFinished(int timeoutMs);

    QList<int> progress() const;
    QStringList statuses() const;
    QStringList paths() const;

    // Peer side.
    // Pulls the cable: the peer's end closes and the worker's port sees the hang-up.
    void hangUp();
    bool write(const QByteArray& bytes);
    bool writeByte(char c) { return write(QByteArray(1, c)); }
    int readByte(int timeoutMs);
    QByteArray read(int count, int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs.
    QByteArray readUntilQuiet(int quietMs, int maxMs = 10000);
    Block readBlock(int timeoutMs);

    static QByteArray block(int number, const QByteArray& payload, int size, bool badCrc = false);
    static QByteArray header(const QByteArray& nameAndSize);
    static quint16 crc(const QByteArray& data);

private:
    PtyPair pty;
    QThread* thread = nullptr;
    YMODEM* ymodem = nullptr;
    bool ready = false;
    std::atomic<bool> done{false};
    std::atomic<int> outcome{0};
    mutable QMutex mutex;
    QList<int> progressValues;
    QStringList statusTexts;
    QStringList pathTexts;
};

#endif // WORKERLINE_H
