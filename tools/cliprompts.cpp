#include "cliprompts.h"

#include "cliprinter.h"

void CliPrompts::say(const QString& step, const QString& text)
{
    CliPrinter::Event e;
    who(&e.console, &e.port);
    e.step = step;
    e.text = text;
    printer->event(e);
}

void CliPrompts::tell(Kind kind, const QString& title, const QString& text)
{
    say(kind == Kind::Information ? QStringLiteral("message") : QStringLiteral("warning"),
        title + QLatin1String(": ") + text);
}

bool CliPrompts::ask(const QString& title, const QString& text)
{
    say(QStringLiteral("question"), title + QLatin1String(": ") + text +
                                        (answer ? QStringLiteral(" Yes") : QStringLiteral(" No")));
    return answer;
}

void CliPrompts::showResultMessage(const QString& text, bool ok)
{
    Q_UNUSED(ok)
    say(QStringLiteral("status"), text);
}
