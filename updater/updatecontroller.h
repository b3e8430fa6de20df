#ifndef UPDATECONTROLLER_H
#define UPDATECONTROLLER_H

#include "resultcodes.h"
#include "updatejournal.h"
#include "updateresult.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QTimer;
class SleepInhibitor;
class UpdatePrompts;

// Owns one update at a time, from "Update" to its end: the console of that run, its journal, its
// users' data copy, the stop request and the step reached. Everything a run knows is made fresh
// when it starts and dropped when it ends, so nothing of one console or one run reaches another.
// It has no widgets: it asks its prompts for boxes and questions and emits requests that the
// window passes on to the worker.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    using PortFinder = std::function<QStringList()>;
    static constexpr int RebootWaitMs = 50000;

    UpdateController(UpdatePrompts* prompts, PortFinder consolePorts, QObject* parent = nullptr);
    ~UpdateController() override;

    // The release the package offers ("Full" of versions.ini), for the check after the flash.
    void setRelease(const QString& full) { releaseFull = full; }
    // Beside other runs of the same process, a console looked for after its flash may be held
    // for a moment by another run trying it: a port that does not open is then tried again, at
    // most this many times, after the other candidates and a pause. None by default.
    void setBusyPortRetries(int retries) { busyPortRetries = retries; }
    static constexpr int BusyPortRetryMs = 2000;

    // ---- The console on the line outside a run ----
    // A connection outside a run: what was known of the console before is dropped; the window
    // asks it afresh.
    void consoleConnected();
    // Values the console reported (outside a run: that console; inside: the run's console).
    void versionReported(const QString& text);
    void serialReported(const QString& serial);
    void articleReported(const QString& text);
    void nameReported(const QString& text);
    void monitorReported(const QString& text);
    // The console answered its first query in its application: offers to send back users' data
    // of an earlier update that did not complete. True when that restore started.
    bool offerPendingRestore();
    // Whether the console read last has users' data of an earlier update that did not complete
    // waiting to go back (the journal in found). closeSuperseded: a journal that a later
    // successful update made void is closed on the way.
    bool pendingRestore(UpdateJournal::Entry* found, bool closeSuperseded = false) const;
    // The console read last, as it reported itself.
    const UpdateJournal::Identity& consoleIdentity() const { return console.identity; }
    // A console found in its loader: offers to put back users' data saved by an update cut off
    // half way, after the rescue update. True when the user agreed.
    bool offerRescueRestore();

    // ---- A run ----
    // "Update" on the console at port. False (and nothing sent) when a run is going on or the
    // worker still has to report the end of an earlier one.
    bool start(const QString& port, const QString& firmwarePath, bool rescue);
    // The user confirmed the abort ("Back" or closing the window): the run stops at its next safe
    // point. Before the loader entry the console keeps everything; once the image is sent the
    // kept copy is named and offered again when the console is connected.
    void requestStop();

    bool isRunning() const { return run != nullptr; }
    // A run, or a worker sequence of an ended run that has not reported yet.
    bool isBusy() const { return run || sequencePending; }
    UpdatePhase phase() const;
    // Overall percentage of the whole update for the worker's percentage of the current step.
    static int overallPercent(UpdateMode mode, UpdatePhase phase, int percent);
    UpdateStep step() const;
    QString runSerial() const;
    QString runPort() const;
    // The kept users' data of the run, empty when none.
    QString usersDataPath() const;

    // ---- What the worker reported (the window hands it on) ----
    // True when the port state was the run's business (a console tried while looking for the
    // updated one): the window then shows nothing for it.
    bool portStateChanged(PortState state);
    void workerResult(int res);
    void usersDataPathReported(const QString& path);
    void usersDataRead();
    void migrationReported(const QStringList& failed, const QString& originalCopy);
    void consoleCopyKept(const QString& path);
    void renameDone();
    // The run's next step after the console was read again: the users' data go back.
    void sendUsersData();

signals:
    // Requests the window passes on to the worker.
    void connectTo(QString path);
    void disconnectPort();
    void readConsole();
    void transmit(QString firmwarePath);
    void readUpdatedConsole();
    void expectedSerial(QString serial);
    void keepConsoleCopy(bool keep);
    void transmitUsersData(QString path);
    void renameModule();
    void preserveSettings(bool preserve);
    // Thread-safe request to the worker inside its sequence (connected directly).
    void stopWorker(bool stop);
    // The run's own: the bar back to 0, the re-flash wait (nominal ms elapsed; -1 when over).
    void barReset();
    void rebootWaitProgress(int elapsedMs);
    void percentChanged(int percent);
    // Exactly once per run.
    void finished(UpdateResult result);

private:
    struct Run {
        UpdateJournal journal;
        SleepInhibitor* inhibitor = nullptr;
        UpdateJournal::Identity identity; // the console of this run, as read before it started
        QString port;
        bool rescue = false;
        // The journal whose users' data go back (after a rescue update, or alone); empty when the
        // data go back from this run's own save.
        UpdateJournal::Entry restore;
        bool restoreOnly = false;
        QString usersData; // the kept copy of this run's users' data
        QStringList failedStatements;
        QString originalCopy;
        QString consoleCopy; // what the console held before a restore replaced it
        UpdateStep step = UpdateStep::Started;
        UpdatePhase phase = UpdatePhase::SavingUsersData;
        bool stopRequested = false;
        // Looking for the updated console by its serial number.
        bool hunting = false;
        QStringList candidates;
        QString candidatePort;
        QHash<QString, int> openRetries; // per candidate, tries again after a failed open
        QString candidateSerial;
        QString versionAfter; // what the console reports after the re-flash
    };
    struct Console {
        UpdateJournal::Identity identity;
        // A run chosen to restore in the loader (offerRescueRestore), for this console only.
        UpdateJournal::Entry rescueRestore;
    };

    // A fresh run with its journal and sleep lock; false (and the run finished) when its journal
    // cannot be written.
    bool beginRun(const QString& port, bool rescue);
    void finish(int code, const QString& detail, bool tellKeptCopy);
    void journalResult(int res);
    void startRestore(const UpdateJournal::Entry& entry);
    void rebootTick();
    void findUpdatedConsole();
    void tryNextCandidate();
    bool candidateAnswered();
    void afterUpdateRead();
    bool imageNotTaken() const;
    void connectRunPort();
    QString notes() const;
    QString failureText(int res) const;
    bool journalUsable(const UpdateJournal::Entry& entry, const QString& consoleVersion) const;

    UpdatePrompts* prompts;
    PortFinder consolePorts;
    QString releaseFull;
    Console console;
    std::unique_ptr<Run> run;
    // A sequence asked of the worker by a run that has ended: its report is not acted on, and
    // no run starts before it came.
    bool sequencePending = false;
    int busyPortRetries = 0;
    QTimer* rebootTimer;
    QElapsedTimer rebootClock;

    friend class MainWindowTestAccess;
};

#endif // UPDATECONTROLLER_H
