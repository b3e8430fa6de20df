#ifndef UPDATERESULT_H
#define UPDATERESULT_H

#include <QMetaType>
#include <QString>

// How far a run got; the order is the order of an update.
enum class UpdateStep {
    Started,        // asked for; nothing changed on the console yet
    UsersDataKept,  // the users' data are kept on this computer
    ImageSent,      // the console re-flashes itself
    FindingConsole, // the re-flash wait is over; the console is looked for by serial number
    RestoringData,  // the users' data are going back
    DataRestored,   // they are back; the module is renamed and the console restarts
    Done,           // the console restarted with everything in place
};

// The stage of an update as the window's progress bar maps it; the values are the ones the
// window's updatePhase has always had.
enum class UpdatePhase : int {
    NotStarted = 0,
    SavingUsersData = 1, // "Update" pressed; the users' data leave the console
    SendingImage = 2,    // they are kept; the image goes
    AwaitingReflash = 3, // the image was taken; the console re-flashes and restarts
    Restoring = 4,       // the console is back; the users' data go back
};

// Whether the users' settings survive an update (updateMode's values).
enum class UpdateMode : int {
    KeepSettings = 5,
    LoseSettings = 3, // rescue mode, or an update the package forces
};

// How one run ended. code: 0 for success, else the result code of the failure (the worker's, or
// one of the run's own below).
struct UpdateResult {
    int code = 0;
    UpdateStep step = UpdateStep::Started;
    // The failure's text for the user; empty for a success or when a short message said it.
    QString detail;
    // The kept copy of the users' data the user must be told of (the console has lost them or
    // may have), empty when the data are on the console.
    QString keptCopy;
    // Lines the final text adds: migration statements that failed, where the data the console
    // held before a restore are kept.
    QString notes;
    bool ok() const { return code == 0; }
};

// Results of a run that no worker sequence reports.
namespace RunResult
{
enum : int {
    // The console still reports the version it had before, not the release's: the loader did
    // not take the image. Nothing was removed; the journal stays.
    ImageNotTaken = -24,
    // The journal of the run could not be written: the run is refused before the console is
    // touched, since a run cut off later could not be recovered.
    JournalNotWritten = -25,
};
} // namespace RunResult

Q_DECLARE_METATYPE(UpdateResult)

#endif // UPDATERESULT_H
