#ifndef UPDATECLI_H
#define UPDATECLI_H

#include "cliprinter.h"
#include "consolerestarts.h"
#include "firmwarerelease.h"
#include "updateresult.h"

#include <QObject>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <vector>

class CliPrompts;
class QEventLoop;
class UpdateStation;

// brenvik-update: the window's update for one console or every console attached, from the
// command line. Each console gets a station of its own (worker, thread, update controller);
// they share the release and the turns of their resets.
class UpdateCli : public QObject
{
    Q_OBJECT

public:
    // Exit statuses.
    enum Exit {
        Ok = 0,          // every console ended well (or the listing was made)
        Failed = 1,      // at least one console's update or restore failed
        BadInput = 2,    // nothing was started
        Stopped = 3,     // stopped by Ctrl-C, each console at a safe point
        Declined = 4,    // the user said no; nothing was started
        Interrupted = 5, // a second Ctrl-C: ended without waiting for the safe points
    };

    UpdateCli(std::FILE* out, std::FILE* err, bool terminal, QObject* parent = nullptr);
    ~UpdateCli() override;

    // Runs the command line (without the program's name) and returns the exit status.
    int run(const QStringList& args);
    // Ctrl-C: the first stops every run at its next safe point, the second ends at once.
    void interrupt();

    static const char* usage();

private:
    struct Options {
        QString command;
        QStringList ports;
        QStringList serials;
        bool all = false;
        bool rescue = false;
        bool yes = false;
        bool json = false;
        QString release;
    };
    struct Target {
        std::unique_ptr<CliPrompts> prompts;
        UpdateStation* station = nullptr;
        QString port;
        bool read = false;
        QString unreachable; // why the console could not be read
        bool started = false;
        bool ended = false;
        UpdateResult result;
    };

    bool parse(const QStringList& args, QString* why);
    int list();
    int update();
    int restore();
    int history();

    int badInput(const QString& line);
    // Says why and returns false.
    bool refuse(const QString& line);
    Target* addTarget(const QString& port);
    // Reads the consoles on these ports side by side; false when the time limit came first.
    bool readConsoles(const QStringList& ports);
    // The consoles to update as asked; false (with the line said) on bad input.
    bool chooseTargets(std::vector<Target*>* chosen);
    void keepOnly(const std::vector<Target*>& chosen);
    bool checkTarget(Target* t);
    QString serialOf(const Target* t) const;
    QString versionOf(const Target* t) const;
    QString nameOf(const Target* t) const;
    bool isConsole(const Target* t) const;
    bool confirm(const QString& question);
    void watch(Target* t);
    void progressed(Target* t, int percent, const QString& status);
    void ended(Target* t, const UpdateResult& result);
    // Waits until every started run ended (or a second Ctrl-C); the exit status.
    int waitForRuns();
    void sayWhatStands();
    QString stepName(const Target* t) const;
    bool loadRelease();

    std::FILE* out;
    std::FILE* err;
    CliPrinter printer;
    Options opts;
    FirmwareRelease release;
    ConsoleRestarts restarts;
    std::vector<std::unique_ptr<Target>> targets;
    QEventLoop* loop = nullptr;
    int interrupts = 0;
};

#endif // UPDATECLI_H
