#ifndef LINEPEER_H
#define LINEPEER_H

#include <QByteArray>
#include <QString>

// The test's end of the line: opens the console's slave device the way the updater does (plain
// POSIX, raw mode) and reads with bounded waits.
class LinePeer
{
public:
    LinePeer() = default;
    ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    bool open(const QString& path);
    void close();
    int fd() const { return handle; }
    bool write(const QByteArray& bytes);
    // Everything that arrives within ms.
    QByteArray readFor(int ms);
    // Reads until the text has arrived or ms ran out; returns everything read.
    QByteArray readUntil(const QByteArray& wanted, int ms);
    // Reads until at least count bytes have arrived or ms ran out.
    QByteArray readCount(int count, int ms);
    // Reads until the line has been quiet for quietMs (at most maxMs).
    QByteArray readQuiet(int quietMs, int maxMs);
    // Waits (reading what still comes) until the line hangs up as a vanished USB device's
    // does: poll reports POLLHUP and a write fails. False if it did not within ms.
    bool waitHangUp(int ms);
    // Writes a command and collects the reply as the updater does: after a fixed wait.
    QByteArray command(const QByteArray& bytes, int waitMs = 300);

private:
    int handle = -1;
};

#endif // LINEPEER_H
