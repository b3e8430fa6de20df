#ifndef CONSOLESESSION_H
#define CONSOLESESSION_H

#include <QByteArray>
#include <QString>

class YMODEM;

// The console's command channel on the worker's port. The console has no prompt: a reply is
// whatever the port holds after a fixed wait, so every wait here is one the console relies on
// (all through TimeScale). What it reports leaves through the worker's signals.
class ConsoleSession
{
public:
    // Waits, in milliseconds before TimeScale.
    // The console takes a new command only once it has finished answering the last one.
    static constexpr int kBeforeCommandMs = 200;
    // The information commands other than "VE", and the shell's short answers ("SHELL", "mv").
    static constexpr int kShortReplyMs = 200;
    // The shell starts and prints its banner.
    static constexpr int kShellStartMs = 1000;

    explicit ConsoleSession(YMODEM& worker) : w(worker) {}

    static void pause(int ms);
    // The command in one write; nothing without a port.
    void write(const QByteArray& command);
    // Whatever the port holds now, echoed on the debug console as the text up to its first NUL.
    QByteArray readReply();
    // The command, its reply's wait, the reply.
    QByteArray command(const QByteArray& command, int replyMs);
    // The same after a pause that lets the console finish with the last command.
    QByteArray query(const QByteArray& command, int replyMs);

    // The shell entry before the loader and before the restore; the status says whether the
    // shell answered.
    void enterShell();
    // An empty line, settleMs, "exit" and its reply.
    void leaveShell(int settleMs);

    // Closes the port and tells the window.
    void dropLine();
    // Traces where and why a sequence stopped and reports its result.
    void fail(int code, const QString& phase, const QString& detail);

    // The console's serial number now; false when its reply to "SN" holds none.
    bool readSerialNumber(QString* serial);
    // Whether the console on the port is the one of serial expected; on a mismatch the line is
    // dropped and the sequence fails with WrongConsole.
    bool sameConsole(const QString& expected, const QString& phase);

private:
    YMODEM& w;
};

#endif // CONSOLESESSION_H
