#include "simoptions.h"

#include <QRegularExpression>
#include <cmath>

QString SimOptions::serialNumber() const
{
    return sn.split(QLatin1Char('\t')).value(1).trimmed();
}

int SimOptions::scaled(int ms) const
{
    if (ms <= 0)
        return ms;
    const long v = std::lround(ms * timeScale);
    return v < 1 ? 1 : int(v);
}

namespace
{

// "\x1b", "\r", "\n", "\t" and "\\" in a command-line text, so that junk bytes can be given.
QByteArray unescape(const QString& text)
{
    QByteArray in = text.toUtf8(), out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < in.size()) {
            bool ok = false;
            const int v = in.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += char(v);
                i += 2;
            } else {
                out += "\\x";
            }
        } else
            out += c;
    }
    return out;
}

bool validStep(const QString& step)
{
    static const QRegularExpression re(
        QStringLiteral("^(header|eot|loader|program|reboot|shell|block:\\d+|reply:[A-Z]{2}|"
                       "cmd:[a-z]+)$"));
    return re.match(step).hasMatch();
}

} // namespace

bool SimOptions::parse(const QStringList& args, QString* error)
{
    bool envOk = false;
    const double envScale = qEnvironmentVariable("UPDATER_TIME_SCALE").toDouble(&envOk);
    if (envOk && envScale > 0.0 && envScale <= 1.0)
        timeScale = envScale;

    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };

    for (int i = 0; i < args.size(); ++i) {
        QString key = args[i];
        QString value;
        bool hasInline = false;
        const int eq = key.indexOf(QLatin1Char('='));
        if (key.startsWith(QLatin1String("--")) && eq > 0) {
            value = key.mid(eq + 1);
            key = key.left(eq);
            hasInline = true;
        }
        auto takeValue = [&](QString* out) {
            if (hasInline) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        auto takeInt = [&](int* out, int min) {
            QString v;
            bool ok = false;
            if (!takeValue(&v))
                return false;
            const int n = v.toInt(&ok);
            if (!ok || n < min)
                return false;
            *out = n;
            return true;
        };

        static const QStringList flags = {QStringLiteral("--start-in-loader"),
                                          QStringLiteral("--restart-in-loader-after-image"),
                                          QStringLiteral("--verbose"),
                                          QStringLiteral("--too-old"),
                                          QStringLiteral("--reset-drops-line"),
                                          QStringLiteral("--reset-keeps-line"),
                                          QStringLiteral("--flash-replaces-files"),
                                          QStringLiteral("--flash-keeps-files"),
                                          QStringLiteral("--poll-during-erase"),
                                          QStringLiteral("--reject-image"),
                                          QStringLiteral("--trickle")};
        if (flags.contains(key) && hasInline)
            return fail(QStringLiteral("%1 takes no value").arg(key));

        QString text;
        if (key == QLatin1String("--dir")) {
            if (!takeValue(&dir))
                return fail(QStringLiteral("--dir needs a folder"));
        } else if (key == QLatin1String("--link")) {
            if (!takeValue(&link))
                return fail(QStringLiteral("--link needs a path"));
        } else if (key == QLatin1String("--link-dir")) {
            if (!takeValue(&linkDir))
                return fail(QStringLiteral("--link-dir needs a folder"));
        } else if (key == QLatin1String("--reset-drops-line")) {
            resetDropsLine = true;
        } else if (key == QLatin1String("--reset-keeps-line")) {
            resetDropsLine = false;
        } else if (key == QLatin1String("--reset-away-ms")) {
            if (!takeInt(&resetAwayMs, 0))
                return fail(QStringLiteral("--reset-away-ms needs milliseconds"));
        } else if (key == QLatin1String("--flash-replaces-files")) {
            flashReplacesFiles = true;
        } else if (key == QLatin1String("--flash-keeps-files")) {
            flashReplacesFiles = false;
        } else if (key == QLatin1String("--poll-during-erase")) {
            pollDuringErase = true;
        } else if (key == QLatin1String("--version")) {
            if (!takeValue(&version))
                return fail(QStringLiteral("--version needs a text"));
        } else if (key == QLatin1String("--new-version")) {
            if (!takeValue(&newVersion))
                return fail(QStringLiteral("--new-version needs a text"));
        } else if (key == QLatin1String("--bv")) {
            if (!takeValue(&bv))
                return fail(QStringLiteral("--bv needs a text"));
        } else if (key == QLatin1String("--ki")) {
            if (!takeValue(&text))
                return fail(QStringLiteral("--ki needs a text"));
            ki = QString::fromLatin1(unescape(text));
        } else if (key == QLatin1String("--ca")) {
            if (!takeValue(&ca))
                return fail(QStringLiteral("--ca needs a text"));
        } else if (key == QLatin1String("--sn")) {
            if (!takeValue(&text))
                return fail(QStringLiteral("--sn needs a text"));
            sn = QString::fromLatin1(unescape(text));
        } else if (key == QLatin1String("--too-old")) {
            version = QStringLiteral("01000100");
        } else if (key == QLatin1String("--start-in-loader")) {
            startInLoader = true;
        } else if (key == QLatin1String("--restart-in-loader-after-image")) {
            restartInLoaderAfterImage = true;
        } else if (key == QLatin1String("--reject-image")) {
            rejectImage = true;
        } else if (key == QLatin1String("--trickle")) {
            trickle = true;
        } else if (key == QLatin1String("--verbose")) {
            verbose = true;
        } else if (key == QLatin1String("--users-db")) {
            if (!takeValue(&text))
                return fail(QStringLiteral("--users-db needs normal, none, empty or corrupt"));
            if (text == QLatin1String("normal"))
                usersDb = UsersDb::Normal;
            else if (text == QLatin1String("none"))
                usersDb = UsersDb::None;
            else if (text == QLatin1String("empty"))
                usersDb = UsersDb::Empty;
            else if (text == QLatin1String("corrupt"))
                usersDb = UsersDb::Corrupt;
            else
                return fail(QStringLiteral("--users-db: unknown kind \"%1\"").arg(text));
        } else if (key == QLatin1String("--time-scale")) {
            bool ok = false;
            if (!takeValue(&text))
                return fail(QStringLiteral("--time-scale needs a factor"));
            const double f = text.toDouble(&ok);
            if (!ok || f <= 0.0 || f > 100.0)
                return fail(
                    QStringLiteral("--time-scale: \"%1\" is not a factor in (0, 100]").arg(text));
            timeScale = f;
        } else if (key == QLatin1String("--reboot-ms")) {
            if (!takeInt(&rebootMs, 0))
                return fail(QStringLiteral("--reboot-ms needs milliseconds"));
        } else if (key == QLatin1String("--loader-quiet-ms")) {
            if (!takeInt(&loaderQuietMs, 0))
                return fail(QStringLiteral("--loader-quiet-ms needs milliseconds"));
        } else if (key == QLatin1String("--poll-ms")) {
            if (!takeInt(&pollMs, 1))
                return fail(QStringLiteral("--poll-ms needs milliseconds"));
        } else if (key == QLatin1String("--erase-ms")) {
            if (!takeInt(&eraseMs, 0))
                return fail(QStringLiteral("--erase-ms needs milliseconds"));
        } else if (key == QLatin1String("--program-ms")) {
            if (!takeInt(&programMs, 0))
                return fail(QStringLiteral("--program-ms needs milliseconds"));
        } else if (key == QLatin1String("--line-rate")) {
            if (!takeInt(&lineRate, 0))
                return fail(QStringLiteral("--line-rate needs bytes per second"));
        } else if (key == QLatin1String("--reply-delay-ms")) {
            if (!takeInt(&replyDelayMs, 0))
                return fail(QStringLiteral("--reply-delay-ms needs milliseconds"));
        } else if (key == QLatin1String("--reply-junk")) {
            if (!takeValue(&text))
                return fail(QStringLiteral("--reply-junk needs a text"));
            replyJunk = unescape(text);
        } else if (key == QLatin1String("--cancel-block")) {
            if (!takeInt(&cancelBlock, 0))
                return fail(QStringLiteral("--cancel-block needs a block number"));
        } else if (key == QLatin1String("--nak-block")) {
            if (!takeInt(&nakBlock, 0))
                return fail(QStringLiteral("--nak-block needs a block number"));
        } else if (key == QLatin1String("--corrupt-block")) {
            if (!takeInt(&corruptBlock, 0))
                return fail(QStringLiteral("--corrupt-block needs a block number"));
        } else if (key == QLatin1String("--fault-transfer")) {
            if (!takeValue(&faultTransfer))
                return fail(QStringLiteral("--fault-transfer needs any, send, receive or loader"));
            static const QStringList kinds = {QStringLiteral("any"), QStringLiteral("send"),
                                              QStringLiteral("receive"), QStringLiteral("loader")};
            if (!kinds.contains(faultTransfer))
                return fail(
                    QStringLiteral("--fault-transfer: unknown transfer \"%1\"").arg(faultTransfer));
        } else if (key == QLatin1String("--silent-at")) {
            if (!takeValue(&silentAt) || !validStep(silentAt))
                return fail(QStringLiteral("--silent-at needs a step (see --help)"));
        } else if (key == QLatin1String("--hangup-at")) {
            if (!takeValue(&hangupAt) || !validStep(hangupAt))
                return fail(QStringLiteral("--hangup-at needs a step (see --help)"));
        } else if (key == QLatin1String("--replug-after-ms")) {
            if (!takeInt(&replugAfterMs, 0))
                return fail(QStringLiteral("--replug-after-ms needs milliseconds"));
        } else {
            return fail(QStringLiteral("unknown option \"%1\"").arg(args[i]));
        }
    }
    if (dir.isEmpty())
        return fail(QStringLiteral("--dir is required"));
    if (!link.isEmpty() && !linkDir.isEmpty())
        return fail(QStringLiteral("--link and --link-dir exclude each other"));
    return true;
}

QString SimOptions::usage()
{
    return QStringLiteral(
               "Usage: sim-console --dir DIR [options]\n"
               "A simulated fitness console on a pseudo-terminal. The first line on standard "
               "output\n"
               "is the slave device path to open as the serial port.\n"
               "\n"
               "  --dir DIR                 the console's file store (created if missing)\n"
               "  --link PATH               symbolic link to the slave device; a new device after "
               "a\n"
               "                            reset gets the same link\n"
               "  --link-dir DIR            instead of --link: each new device gets a new link\n"
               "                            DIR/ttyACM<n> (n moves on at every reset)\n"
               "  --version TEXT            reply to VE (default 01020304)\n"
               "  --new-version TEXT        reply to VE after an image was programmed (01020500)\n"
               "  --bv TEXT --ki TEXT --ca TEXT --sn TEXT   the other identity replies (\\t = "
               "TAB)\n"
               "  --too-old                 VE replies 01000100 (version 100)\n"
               "  --start-in-loader         start in the loader, as after an interrupted update\n"
               "  --restart-in-loader-after-image   after the first image, restart in the loader\n"
               "  --reject-image            the loader takes the whole image, then refuses it and\n"
               "                            starts the old firmware, its files as they were\n"
               "  --users-db normal|none|empty|corrupt   state of /BrenvikDATA at start\n"
               "  --reset-drops-line        a reset or the restart after a flash closes the line "
               "and\n"
               "                            offers a new device --reset-away-ms later (%1)\n"
               "  --reset-keeps-line        the line stays open across a restart (%2)\n"
               "  --reset-away-ms N         how long the console is away after a reset (3000)\n"
               "  --flash-replaces-files    the written image replaces every file: /BrenvikDATA "
               "is\n"
               "                            gone, the module image is the new one's (%1)\n"
               "  --flash-keeps-files       files survive a flash (%2)\n"
               "  --poll-during-erase       the loader sends \"C\" while it erases, before the\n"
               "                            header's ACK\n"
               "  --time-scale F            factor for the console's own delays (default: the\n"
               "                            environment's UPDATER_TIME_SCALE, else 1)\n"
               "  --reboot-ms N --loader-quiet-ms N --poll-ms N --erase-ms N --program-ms N\n"
               "  --line-rate N             take in at most N bytes per second (0: no limit)\n"
               "  --reply-delay-ms N        delay before every information reply\n"
               "  --reply-junk TEXT         bytes put before every information reply (\\xNN "
               "allowed)\n"
               "  --cancel-block N          answer (receiver) or replace (sender) block N with CAN "
               "CAN\n"
               "  --nak-block N             receiver: NAK block N once; sender: send block N "
               "twice\n"
               "  --corrupt-block N         receiver: answer block N once with a wrong byte;\n"
               "                            sender: send block N once with a wrong CRC\n"
               "  --fault-transfer any|send|receive|loader   which transfers the faults apply to\n"
               "  --trickle                 asked to send or receive a file in the shell, send a\n"
               "                            stray byte every --poll-ms and never start\n"
               "  --silent-at STEP          fall silent for good at STEP\n"
               "  --hangup-at STEP          close the pseudo-terminal at STEP (a pulled cable)\n"
               "  --replug-after-ms N       after --hangup-at, plug in again after N ms\n"
               "  --verbose                 log to standard error as well\n"
               "\n"
               "Steps: reply:VE (BV, KI, CA, SN), shell, cmd:WORD (rm, mv, spi, reset, send,\n"
               "receive, exit), header, block:N, eot, loader, program, reboot.\n")
        .arg(Realistic ? QStringLiteral("default") : QStringLiteral("not the default"),
             Realistic ? QStringLiteral("not the default") : QStringLiteral("default"));
}
