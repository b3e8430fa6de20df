#include "consolesession.h"

#include "consolereplies.h"
#include "consoletrace.h"
#include "qextserialport.h"
#include "resultcodes.h"
#include "timescale.h"
#include "ymodem.h"

#include <QDebug>
#include <QThread>

namespace
{
// Between the two empty lines that settle the shell.
const int kShellSettleMs = 10;
// The shell's answer to those empty lines.
const int kShellReplyMs = 1000;
} // namespace

void ConsoleSession::pause(int ms)
{
    QThread::msleep(unsigned(TimeScale::ms(ms)));
}

void ConsoleSession::write(const QByteArray& command)
{
    if (w.port)
        w.port->write(command);
}

QByteArray ConsoleSession::readReply()
{
    const QByteArray reply = w.port ? w.port->readAll() : QByteArray();
    ConsoleTrace::print(QString::fromLatin1(reply.constData()) + QStringLiteral("\r\n"));
    return reply;
}

QByteArray ConsoleSession::command(const QByteArray& command, int replyMs)
{
    write(command);
    pause(replyMs);
    return readReply();
}

QByteArray ConsoleSession::query(const QByteArray& command, int replyMs)
{
    pause(kBeforeCommandMs);
    return this->command(command, replyMs);
}

void ConsoleSession::enterShell()
{
    w.setStatus(YMODEM::tr("Connecting Device... "));
    write("SHELL\r\n");
    pause(kShellStartMs);
    emit w.progress(0);
    write("\r\n");
    pause(kShellSettleMs);
    write("\r\n");
    pause(kShellReplyMs);
    if (!readReply().isEmpty())
        w.statusText = YMODEM::tr("Connected...");
    emit w.setFirmwareUploadStatus(w.statusText);
}

void ConsoleSession::leaveShell(int settleMs)
{
    write("\r\n");
    pause(settleMs);
    write("exit\r\n");
    readReply();
}

void ConsoleSession::dropLine()
{
    if (w.port)
        w.port->close();
    emit w.serialConnected(int(PortState::Closed));
}

void ConsoleSession::fail(int code, const QString& phase, const QString& detail)
{
    qDebug() << phase << "stopped:" << detail << "result" << code;
    ConsoleTrace::print(QStringLiteral("%1: %2\r\n").arg(phase, detail));
    emit w.yModemResult(code);
}

bool ConsoleSession::readSerialNumber(QString* serial)
{
    QString read;
    if (!ConsoleReplies::serialNumber(query("SN\r\n", kShortReplyMs), read))
        return false;
    *serial = read.trimmed();
    return !serial->isEmpty();
}

// Asked right before anything that removes or overwrites the users' data on a console: with
// two consoles attached, or one swapped during the re-flash wait, the port may lead elsewhere.
bool ConsoleSession::sameConsole(const QString& expected, const QString& phase)
{
    QString serial;
    const bool read = readSerialNumber(&serial);
    if (read && !expected.isEmpty() && serial == expected)
        return true;
    QString why;
    if (expected.isEmpty())
        why = QStringLiteral("no serial number is known for the Users Data in hand");
    else if (!read)
        why = QStringLiteral("serial number unreadable, expected %1").arg(expected);
    else
        why = QStringLiteral("console %1 is not %2").arg(serial, expected);
    dropLine();
    fail(ResultCode::WrongConsole, phase, why + QStringLiteral("; nothing changed on it"));
    return false;
}
