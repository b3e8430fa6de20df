#ifndef UPDATEPROMPTS_H
#define UPDATEPROMPTS_H

#include <QString>

// What a run needs from whoever shows it to a person: boxes, questions and short messages. The
// window answers with its dialogs; a run has no widgets of its own.
class UpdatePrompts
{
public:
    enum class Kind { Information, Warning, Critical };

    virtual ~UpdatePrompts() = default;
    virtual void tell(Kind kind, const QString& title, const QString& text) = 0;
    // Yes or No, no default; true for Yes.
    virtual bool ask(const QString& title, const QString& text) = 0;
    // A short result line (the connection label), green when ok.
    virtual void showResultMessage(const QString& text, bool ok) = 0;
};

#endif // UPDATEPROMPTS_H
