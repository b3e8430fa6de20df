#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QByteArray>
#include <QString>

// A pseudo-terminal pair for tests: the code under test opens slavePath() like a serial port,
// the test plays the other end on the master. Both sides are raw (no echo, no translation).
class PtyPair
{
public:
    // keepSlaveOpen: hold a slave descriptor of our own so that the master does not see a
    // hang-up while the code under test closes and re-opens the slave.
    explicit PtyPair(bool keepSlaveOpen = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool isValid() const { return master >= 0; }
    QString errorString() const { return error; }
    QString slavePath() const { return path; }
    int masterFd() const { return master; }
    int slaveFd() const { return slave; }

    // Writes all of data to the master within timeoutMs; false on failure or time-out.
    bool writeMaster(const QByteArray& data, int timeoutMs = 5000);
    // Reads from the master until count bytes have come or timeoutMs has passed.
    QByteArray readMaster(int count, int timeoutMs = 5000);
    // Whatever the master can read right now (no wait).
    QByteArray readMasterNow();
    // Waits at most timeoutMs for the master to become readable.
    bool waitMasterReadable(int timeoutMs);

    void closeMaster();
    void closeSlave();

private:
    int master = -1;
    int slave = -1;
    QString path;
    QString error;
};

#endif // PTYPAIR_H
