#include "cliprinter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

namespace
{
const int barWidth = 30;
const int redrawMs = 200;
} // namespace

CliPrinter::CliPrinter(std::FILE* out, Form form) : out(out), shown(form) {}

QString CliPrinter::json(const Event& e)
{
    QJsonObject o;
    o.insert(QStringLiteral("console"), e.console);
    o.insert(QStringLiteral("port"), e.port);
    o.insert(QStringLiteral("step"), e.step);
    o.insert(QStringLiteral("progress"), e.progress < 0 ? QJsonValue() : QJsonValue(e.progress));
    o.insert(QStringLiteral("code"), e.code == NoCode ? QJsonValue() : QJsonValue(e.code));
    o.insert(QStringLiteral("text"), e.text);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void CliPrinter::printLine(const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void CliPrinter::event(const Event& e)
{
    if (shown == Form::Json) {
        printLine(json(e));
        return;
    }
    const QString who = e.console.isEmpty() ? e.port : e.console;
    if (shown == Form::Bars && e.code == NoCode && e.progress >= 0) {
        Bar& bar = bars[who];
        bar.port = e.port;
        bar.progress = e.progress;
        if (!e.step.isEmpty())
            bar.step = e.step;
        if (!e.text.isEmpty())
            bar.status = e.text;
        if (!lastDraw.isValid() || lastDraw.elapsed() >= redrawMs)
            flushBars();
        return;
    }
    if (shown == Form::Lines && e.code == NoCode && e.progress >= 0) {
        // A line per step and tenth of the way, and per new status; not per percent.
        const QString where = e.step + QString::number(e.progress / 10);
        Said& said = saidOf[who];
        if (said.where == where && (e.text.isEmpty() || e.text == said.text))
            return;
        said.where = where;
        if (!e.text.isEmpty())
            said.text = e.text;
    }
    QString line = who + QLatin1String(": ") + e.step;
    if (e.progress >= 0)
        line += QStringLiteral(" %1%").arg(e.progress);
    if (e.code != NoCode)
        line += QStringLiteral(" (result %1)").arg(e.code);
    if (!e.text.isEmpty())
        line += QLatin1String(": ") + QString(e.text).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (shown == Form::Bars && e.code != NoCode)
        bars.remove(who);
    clearBars();
    printLine(line);
    drawBars();
}

void CliPrinter::note(const QString& text)
{
    if (shown == Form::Json) {
        Event e;
        e.step = QStringLiteral("note");
        e.text = text;
        printLine(json(e));
        return;
    }
    clearBars();
    printLine(text);
    drawBars();
}

void CliPrinter::table(const QStringList& names, const QStringList& headings,
                       const QList<QStringList>& rows)
{
    if (shown == Form::Json) {
        for (const QStringList& values : rows) {
            QJsonObject o;
            for (int i = 0; i < names.size(); ++i)
                o.insert(names.at(i), values.value(i));
            printLine(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
        }
        return;
    }
    QVector<int> widths(headings.size());
    for (const QStringList& values : QList<QStringList>{headings} + rows)
        for (int i = 0; i < widths.size(); ++i)
            widths[i] = qMax(widths[i], values.value(i).size());
    for (const QStringList& values : QList<QStringList>{headings} + rows) {
        QString line;
        for (int i = 0; i < widths.size(); ++i)
            line += values.value(i).leftJustified(i + 1 < widths.size() ? widths[i] + 2 : 0);
        printLine(line);
    }
}

void CliPrinter::flushBars()
{
    clearBars();
    drawBars();
}

void CliPrinter::clearBars()
{
    if (barsDrawn == 0)
        return;
    // Up to the first bar, and everything below it cleared.
    std::fprintf(out, "\033[%dA\r\033[J", barsDrawn);
    barsDrawn = 0;
}

void CliPrinter::drawBars()
{
    if (shown != Form::Bars)
        return;
    for (auto it = bars.cbegin(); it != bars.cend(); ++it) {
        const Bar& b = it.value();
        const int filled = b.progress * barWidth / 100;
        const QString line = QStringLiteral("%1 [%2%3] %4% %5 %6")
                                 .arg(it.key(), -12)
                                 .arg(QString(filled, QLatin1Char('#')))
                                 .arg(QString(barWidth - filled, QLatin1Char('.')))
                                 .arg(b.progress, 3)
                                 .arg(b.step, b.status.left(40));
        std::fputs(line.toLocal8Bit().constData(), out);
        std::fputc('\n', out);
        ++barsDrawn;
    }
    std::fflush(out);
    lastDraw.start();
}
