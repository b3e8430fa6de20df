#ifndef SIMCONSOLE_H
#define SIMCONSOLE_H

#include "simfilestore.h"
#include "simoptions.h"
#include "simpty.h"
#include "simrecord.h"
#include "simymodem.h"

#include <QJsonObject>
#include <QString>
#include <functional>
#include <mutex>
#include <thread>

// A fitness console as the updater sees it over its serial line: the application that answers
// the information commands, its shell, its YMODEM sender and receiver, and the loader that takes
// a new image after the last sector was erased and the console reset. Its files live in a
// folder; DIR/state.json tells tests what became of them, DIR/console.log what happened.
// Each object is one console: several can run at once, each with its own folder and identity.
//
// Program use: open(), print slavePath(), run() until stop(). In-process use: start() runs the
// same loop on a thread of its own; stop() (or the destructor) ends it.
class SimConsole
{
public:
    using State = SimRecord::State;

    explicit SimConsole(const SimOptions& options);
    ~SimConsole();
    SimConsole(const SimConsole&) = delete;
    SimConsole& operator=(const SimConsole&) = delete;

    // Prepares the folder and its files and opens the pseudo-terminal. Call from a thread that
    // has a QCoreApplication (the users database is made with Qt's SQLite driver).
    bool open(QString* error);
    // Runs the console until stop(), or until a hang-up that is not followed by a replug.
    void run();
    // open() and run() on a thread of its own.
    bool start(QString* error);
    // Thread-safe; joins the thread started by start().
    void stop();

    // Called on the console's thread with the new slave path after a replug.
    void setPathChanged(std::function<void(const QString&)> callback);

    QString slavePath() const;
    // The path a port list knows the console by: its link if it has one, else the slave path.
    QString portPath() const;
    State state() const;
    static QString stateName(State s) { return SimRecord::stateName(s); }
    int resetCount() const;
    QString currentVersion() const;
    // The same object that DIR/state.json holds.
    QJsonObject status() const;
    QString statePath() const;
    QString filePath(const QString& consolePath) const;

private:
    // One shell command: its first word, how many words it takes (the command included) and
    // what it does. A handler that returns false did not understand the line.
    struct ShellCommand {
        const char* word;
        int words;
        bool (SimConsole::*run)(const QList<QByteArray>& words);
    };
    static const ShellCommand shellCommands[];

    bool shellExit(const QList<QByteArray>& words);
    bool shellReset(const QList<QByteArray>& words);
    bool shellSend(const QList<QByteArray>& words);
    bool shellReceive(const QList<QByteArray>& words);
    bool shellRemove(const QList<QByteArray>& words);
    bool shellMove(const QList<QByteArray>& words);
    bool shellEraseSector(const QList<QByteArray>& words);
    bool shellList(const QList<QByteArray>& words);

    void setState(State s);
    // Changes the record under its lock and saves it.
    void update(const std::function<void(SimRecord&)>& change);
    void log(const QString& text);
    void saveStatus();
    void writeReply(const QByteArray& command, const QString& text);
    bool checkpoint(const QString& step);
    bool transferStepApplies(const QString& step) const;
    // Whether the transfer faults are meant for a transfer of this kind.
    bool faultsApply(const QString& kind) const;
    // With the trickle fault: stands in for the transfer until the line goes; false without.
    bool trickleInstead(const QString& kind);
    void goSilent();
    void hangUp();
    bool stoppedOrGone() const;

    void handleLine(const QByteArray& line);
    bool handleInfo(const QByteArray& command);
    void handleShellLine(const QByteArray& line);
    void prompt();
    void sendFile(const QString& consolePath);
    void receiveFile();
    // The console restarts: into the loader when sector 4095 was erased, else the application.
    void restart();
    void runLoader();
    void beginTransfer(const QString& kind);
    void finishTransfer(const QString& kind, SimYmodem::Outcome outcome, const QString& detail,
                        const QString& file);

    // The USB device goes: the pseudo-terminal closes and every open port sees the hang-up.
    void dropLine();
    // A new device appears (same link, or the next one in the link folder).
    bool plugIn(QString* error);
    // What a reset does to a USB console: gone for awayMs, then back as a new device.
    bool replug(int awayMs);
    // The written image becomes the file system: what was there is gone.
    void replaceFiles(bool programmed);

    bool prepareFiles(QString* error);
    bool makeModuleImage(QString* error);
    bool makeUsersDb(const QString& path, QString* error);

    SimOptions opts;
    SimFileStore store;
    SimPty pty;
    SimYmodem ymodem;
    std::thread worker;
    std::function<void(const QString&)> pathChanged;

    mutable std::mutex mutex; // guards record and transferKind, read by other threads
    SimRecord record;
    QString transferKind;

    // Console thread only.
    bool loaderRestartUsed = false;
    bool hangupDone = false;
    int nextLinkNumber = 0;
    QByteArray lineBuf; // the command line being typed
};

#endif // SIMCONSOLE_H
