#ifndef CLIPRINTER_H
#define CLIPRINTER_H

#include <QElapsedTimer>
#include <QMap>
#include <QString>
#include <QStringList>
#include <cstdio>

// What brenvik-update tells its user, in one of three forms: a bar per console on a terminal,
// plain lines elsewhere, or one JSON object per event line (--json). Every event names its
// console; the forms differ only in how they show it.
class CliPrinter
{
public:
    enum class Form { Bars, Lines, Json };
    // No code: the event is not an end.
    static constexpr int NoCode = -1000;

    struct Event {
        QString console; // serial number, or the port when it is not known
        QString port;
        QString step;
        int progress = -1; // percent of the whole update; -1 when it does not apply
        int code = NoCode;
        QString text;
    };

    CliPrinter(std::FILE* out, Form form);
    Form form() const { return shown; }

    void event(const Event& e);
    // A line that belongs to no console (plans, questions, summaries); left out of --json,
    // which carries it as an event without a console instead.
    void note(const QString& text);
    // A listing: one JSON object per row (names are its members), or aligned text columns
    // under their headings.
    void table(const QStringList& names, const QStringList& headings,
               const QList<QStringList>& rows);
    // Redraws the bars now (the progress events redraw them at most every 200 ms).
    void flushBars();

private:
    struct Bar {
        QString port;
        QString step;
        int progress = 0;
        QString status;
    };
    void printLine(const QString& text);
    void clearBars();
    void drawBars();
    static QString json(const Event& e);

    std::FILE* out;
    Form shown;
    QMap<QString, Bar> bars;
    int barsDrawn = 0;
    QElapsedTimer lastDraw;
    // Plain lines: the last step and tenth of progress, and the last status, said per console.
    struct Said {
        QString where;
        QString text;
    };
    QMap<QString, Said> saidOf;
};

#endif // CLIPRINTER_H
