#include "consolereplies.h"

#include <QStringList>

// Qt's own conversion of a byte array to text: UTF-8, ending at the first NUL.
static QString asText(const QByteArray& reply)
{
    return QString::fromUtf8(reply.constData());
}

QString ConsoleReplies::clean(const QByteArray& reply)
{
    QString text = asText(reply);
    text.remove(QStringLiteral("\r\n"), Qt::CaseSensitive);
    return text;
}

bool ConsoleReplies::loaderBeforeUpdate(const QByteArray& veReply)
{
    bool polled = false;
    for (const char c : veReply) {
        if (c == 'C')
            polled = true;
        else if (c != '\r' && c != '\n')
            return false;
    }
    return polled;
}

bool ConsoleReplies::loaderAfterUpdate(const QByteArray& veReply)
{
    return loaderBeforeUpdate(veReply) && veReply.contains("CCCC");
}

static bool isLineEnd(QChar c)
{
    return c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

static void dropLeadingLineEnds(QString& text)
{
    int n = 0;
    while (n < text.size() && isLineEnd(text.at(n)))
        ++n;
    text.remove(0, n);
}

QString ConsoleReplies::versionReply(const QByteArray& veReply)
{
    QString text = clean(veReply);
    dropLeadingLineEnds(text);
    if (text.startsWith(QLatin1String("VE"))) {
        text.remove(0, 2);
        dropLeadingLineEnds(text);
    }
    return text;
}

int ConsoleReplies::versionNumber(const QByteArray& veReply)
{
    bool ok = false;
    const int value = versionReply(veReply).mid(2).toInt(&ok, 10);
    return ok ? value : 0;
}

bool ConsoleReplies::readVersionNumber(const QByteArray& veReply, int& version)
{
    version = versionNumber(veReply);
    return version > 0;
}

QString ConsoleReplies::versionText(const QByteArray& veReply)
{
    QString text = QStringLiteral("v") + versionReply(veReply);
    text.insert(3, QLatin1Char('.'));
    text.insert(6, QLatin1Char('.'));
    text.insert(9, QLatin1Char('.'));
    return text;
}

bool ConsoleReplies::appendBuildVersion(QString& version, const QByteArray& bvReply)
{
    const QStringList parts = clean(bvReply).split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() < 3)
        return false;
    version += QLatin1Char('.') + parts.at(1) + QLatin1Char('.') + parts.at(2);
    return true;
}

bool ConsoleReplies::identity(const QByteArray& kiReply, QString& name, QString& monitorId)
{
    const QStringList parts = clean(kiReply).split(QLatin1Char('\t'), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return false;
    name = parts.at(1);
    monitorId = parts.at(0);
    return true;
}

QString ConsoleReplies::article(const QByteArray& caReply)
{
    return clean(caReply);
}

bool ConsoleReplies::serialNumber(const QByteArray& snReply, QString& serial)
{
    const QStringList parts = clean(snReply).split(QLatin1Char('\t'), Qt::KeepEmptyParts);
    if (parts.size() < 2)
        return false;
    serial = parts.at(1);
    return true;
}
