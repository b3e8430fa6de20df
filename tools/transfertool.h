#ifndef TRANSFERTOOL_H
#define TRANSFERTOOL_H

#include <QObject>
#include <QString>
#include <functional>

class QThread;
class YMODEM;

// The frame of the command-line transfer tools: the updater's own worker in a thread of its
// own, the port opened through it, jobs run on the worker's thread while this thread prints
// their progress on standard error.
class TransferTool : public QObject
{
    Q_OBJECT

public:
    // Exit statuses of the tools besides the transfer's own result codes (see exitStatus).
    enum Status {
        Ok = 0,
        SetupFailed = 1,      // wrong arguments, port or file not usable
        NoRequest = 2,        // the receiver never asked for the file
        CancelledAtStart = 3, // the receiver cancelled before the file was sent
        FileShort = 6,        // the file received is shorter than its header said
        NothingReceived = 7   // the batch ended without a file
    };

    explicit TransferTool(bool verbose, QObject* parent = nullptr);
    ~TransferTool() override;

    YMODEM* worker() const { return ymodem; }

    // Opens the port through the worker; false (with a reason) when it cannot be opened.
    bool openPort(const QString& name, QString* why);
    // Runs job on the worker's thread and returns its result; progress is printed meanwhile.
    int run(const std::function<int(YMODEM&)>& job);
    void setProgressLabel(const QString& label);

    // Worker-thread steps of a send: wait for the receiver's request (0, NoRequest or
    // CancelledAtStart) and, after the file, close the batch with the empty header.
    static int waitForRequest(YMODEM& w, int limitMs);
    static bool endBatch(YMODEM& w);

    // What a result code means, for the tool's last line.
    static QString meaning(int code, bool sending);
    // The process's exit status for a transfer result: positive codes as they are, the
    // negative ones as 100 + |code|.
    static int exitStatus(int code);

private:
    void showProgress(int percent);

    QThread* thread;
    YMODEM* ymodem;
    QString label;
    int lastPercent = -1;
};

#endif // TRANSFERTOOL_H
