#ifndef SIMCONSOLE_H
#define SIMCONSOLE_H

#include "simoptions.h"
#include "simpty.h"
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
//
// Program use: open(), print slavePath(), run() until stop(). In-process use: start() runs the
// same loop on a thread of its own; stop() (or the destructor) ends it.
class SimConsole
{
public:
    enum class State {
        Application,
        Shell,
        Sending,
        Receiving,
        Rebooting,
        Loader,
        Programming,
        Silent,
        HungUp,
        Stopped
    };

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
    State state() const;
    static QString stateName(State s);
    int resetCount() const;
    QString currentVersion() const;
    // The same object that DIR/state.json holds.
    QJsonObject status() const;
    QString statePath() const;
    QString filePath(const QString& consolePath) const;

private:
    void setState(State s);
    void log(const QString& text);
    void saveStatus();
    void writeReply(const QByteArray& command, const QString& text);
    bool checkpoint(const QString& step);
    bool transferStepApplies(const QString& step) const;
    void goSilent();
    void hangUp();
    bool stoppedOrGone() const;

    void handleLine(const QByteArray& line);
    bool handleInfo(const QByteArray& command);
    void handleShellLine(const QByteArray& line);
    void prompt();
    void sendFile(const QString& consolePath);
    void receiveFile();
    void reboot();
    void runLoader();
    void beginTransfer(const QString& kind);
    void finishTransfer(const QString& kind, SimYmodem::Outcome outcome, const QString& detail,
                        const QString& file);

    bool prepareFiles(QString* error);
    bool makeUsersDb(const QString& path, QString* error);
    QString resolve(const QString& consolePath, QString* error) const;

    SimOptions opts;
    SimPty pty;
    SimYmodem ymodem;
    std::thread worker;
    std::function<void(const QString&)> pathChanged;

    mutable std::mutex mutex; // guards everything below, read by other threads
    State current = State::Application;
    QString version;
    QString slave;
    int resets = 0;
    int boots = 0;
    bool sectorErased = false;
    bool loaderRestartUsed = false;
    bool hangupDone = false; // console thread only
    QByteArray lineBuf;      // console thread only: the command line being typed
    int imagesProgrammed = 0;
    QString imageName;
    qint64 imageSize = -1;
    int usersDbReceived = 0;
    int filesReceived = 0;
    int filesSent = 0;
    bool moduleRenamed = false;
    int hangups = 0;
    QJsonObject lastTransfer;
    QString transferKind;
    QString lastStep;
};

#endif // SIMCONSOLE_H
