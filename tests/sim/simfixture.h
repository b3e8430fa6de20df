#ifndef SIMFIXTURE_H
#define SIMFIXTURE_H

#include "linepeer.h"
#include "simconsole.h"

#include <QJsonObject>
#include <QObject>
#include <QTemporaryDir>
#include <memory>

// What the console's tests share: a console in-process on a fresh folder, the test's end of
// its line, a working folder for lrzsz, and hand-made YMODEM blocks.
class SimFixture : public QObject
{
public:
    static const char SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

    static quint16 crcOf(const QByteArray& data);
    static QByteArray makeBlock(int number, QByteArray data);
    static QByteArray randomBytes(int size);
    static bool haveLrzsz();

protected:
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<SimConsole> console;
    LinePeer peer;
    QString dir, work;
    bool dropsLine = false;
    int replugsSeen = 0;

    void setUp();
    void tearDown();
    SimOptions baseOptions() const;
    void startConsole(const SimOptions& o);
    QString stateText() const;
    QJsonObject lastTransfer() const;
    void enterShell();
    // Lets go of the line across a restart and opens the console's port again; when resets
    // drop the line, waits for the new device first.
    void followRestart();
    // Runs an lrzsz program on the console's line; -1 when it had to be stopped.
    int runPeer(const QString& program, const QStringList& args, int timeoutMs = 60000);
    QByteArray readWork(const QString& name) const;
    void writeConsoleFile(const QString& name, const QByteArray& data) const;
    void writeWorkFile(const QString& name, const QByteArray& data) const;
};

#endif // SIMFIXTURE_H
