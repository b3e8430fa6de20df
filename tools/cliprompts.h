#ifndef CLIPROMPTS_H
#define CLIPROMPTS_H

#include "updateprompts.h"

#include <functional>

class CliPrinter;

// The boxes and questions of one console's run on the command line. The user answered once,
// before the run started: every question of the run takes that answer, and is shown with it.
class CliPrompts : public UpdatePrompts
{
public:
    using Who = std::function<void(QString* console, QString* port)>;

    CliPrompts(CliPrinter* printer, Who who) : printer(printer), who(std::move(who)) {}
    void setAnswer(bool yes) { answer = yes; }

    void tell(Kind kind, const QString& title, const QString& text) override;
    bool ask(const QString& title, const QString& text) override;
    void showResultMessage(const QString& text, bool ok) override;

private:
    void say(const QString& step, const QString& text);

    CliPrinter* printer;
    Who who;
    bool answer = false;
};

#endif // CLIPROMPTS_H
