#ifndef USERDRIVER_H
#define USERDRIVER_H

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

class ModalAnswerer;
class QPushButton;

// Plays the user of an installed updater from inside its process, into which it is loaded with
// LD_PRELOAD (the installed program has no test switches): presses "Next" once the console is
// detected, then "Update" once it is enabled, and answers every box with OK. What it did and saw
// goes, a line at a time, to the file named by UPDATER_DRIVER_REPORT:
//   pressed<TAB>BUTTON
//   box<TAB>ICON<TAB>TITLE<TAB>TEXT     (line feeds in TEXT as "\n")
//   quit<TAB>SECONDS
// After UPDATER_DRIVER_LIMIT_S seconds (default 300) it ends the application with status 3.
class UserDriver : public QObject
{
public:
    explicit UserDriver(QObject* parent = nullptr);

private:
    void step();
    void note(const QString& line);
    QPushButton* enabledButton(const QString& text) const;

    ModalAnswerer* answerer;
    int boxesNoted = 0;
    int stage = 0; // 0 waits for "Next", 1 for "Update", 2 done
    QTimer poll;
    QElapsedTimer clock;
    qint64 limitMs;
    QFile report;
};

#endif // USERDRIVER_H
