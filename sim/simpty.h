#ifndef SIMPTY_H
#define SIMPTY_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <atomic>

// The console's end of the line: the master side of a pseudo-terminal. The updater (or a test)
// opens the slave path as its serial port. All system calls of the simulated console live here.
class SimPty
{
public:
    enum { Timeout = -1, Closed = -2 };

    SimPty() = default;
    ~SimPty();
    SimPty(const SimPty&) = delete;
    SimPty& operator=(const SimPty&) = delete;

    // Opens a new pair in raw mode and, if link is not empty, points a symbolic link there
    // (replacing what was there).
    bool open(const QString& link, QString* error);
    // Opens a new pair and links it as folder/<prefix><n> for the first n from *number on that
    // nobody holds yet; *number is the n taken.
    bool openInFolder(const QString& folder, const QString& prefix, int* number, QString* error);
    // Drops the line for good, as a pulled cable does: the slave sees a hang-up.
    void close();
    bool isOpen() const { return master >= 0; }
    QString slavePath() const { return path; }
    QString link() const { return linkPath; }

    // Next byte within timeoutMs (0 polls once), or Timeout, or Closed once stop() was called
    // or the line was closed. A peer that closes and reopens the slave is waited for.
    int readByte(int timeoutMs);
    // Everything that arrives until the line has been quiet for quietMs (bounded by maxMs).
    QByteArray drain(int quietMs, int maxMs);
    // Puts bytes back so that the next reads return them first.
    void unread(const QByteArray& bytes);
    // Writes all bytes within a bounded time; false if they could not all be written.
    bool write(const QByteArray& bytes);
    // Sleeps, but returns false early when stop() is called.
    bool sleep(int ms);
    // Takes in at most this many bytes per second from now on (0: no limit).
    void setReadRate(int bytesPerSecond);

    void stop() { stopping.store(true); }
    bool stopped() const { return stopping.load(); }

private:
    bool openPair(QString* error);
    bool fillBuffer(int timeoutMs);
    void keepRate(qint64 bytes);

    int master = -1;
    int slave = -1;
    QString path;
    QString linkPath;
    QByteArray pending;
    int pendingPos = 0;
    std::atomic<bool> stopping{false};
    int readRate = 0;
    qint64 readSinceStart = 0;
    QElapsedTimer rateClock;
};

#endif // SIMPTY_H
