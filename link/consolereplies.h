#ifndef CONSOLEREPLIES_H
#define CONSOLEREPLIES_H

#include <QByteArray>
#include <QString>

// Reads the console's short text replies. The console gives no prompt and no framing: a reply
// is whatever arrived during a fixed wait, so every parser here takes any bytes at all and
// either finds its fields or says it did not.
class ConsoleReplies
{
public:
    // The reply as text with every CR LF pair taken out (lone CR or LF stay).
    static QString clean(const QByteArray& reply);

    // The loader polls with "C" and has nothing else to say: a reply to "VE" made of "C"s and
    // line ends (CR, LF) alone, at least one "C", is the loader. Any other reply, even one
    // holding a "C", is the application's (whose version may then be unreadable): taking an
    // application for the loader would update it without keeping its users' data.
    static bool loaderBeforeUpdate(const QByteArray& veReply);
    // After an update the same, and a run of four "C"s: three are taken as a version text.
    static bool loaderAfterUpdate(const QByteArray& veReply);

    // The reply to "VE" as the console meant it: CR LF pairs removed, and a leading echo of the
    // command ("VE", with the line ends around it) left out, so that the version is read from
    // what the console sent after the echo, never from the echo.
    static QString versionReply(const QByteArray& veReply);
    // versionReply without its two leading characters, as a decimal number; 0 when it is not
    // one.
    static int versionNumber(const QByteArray& veReply);
    // The same, but says whether a version was there at all: false for a reply that is not a
    // positive decimal number, which must not pass as the oldest or the newest firmware.
    static bool readVersionNumber(const QByteArray& veReply, int& version);
    // "v" and versionReply with points put in at 3, 6 and 9 (padding with blanks when the
    // reply is short, as QString::insert does).
    static QString versionText(const QByteArray& veReply);
    // Appends ".<field 1>.<field 2>" of the reply to "BV" to the version text; false (and the
    // text unchanged) when the reply has fewer than three fields.
    static bool appendBuildVersion(QString& version, const QByteArray& bvReply);

    // Reply to "KI": monitor identifier TAB device name.
    static bool identity(const QByteArray& kiReply, QString& name, QString& monitorId);
    // Reply to "CA": the whole text, possibly empty.
    static QString article(const QByteArray& caReply);
    // Reply to "SN": the second TAB field.
    static bool serialNumber(const QByteArray& snReply, QString& serial);
};

#endif // CONSOLEREPLIES_H
