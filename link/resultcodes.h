#ifndef RESULTCODES_H
#define RESULTCODES_H

// Result codes of the console sequences, carried by YMODEM::yModemResult(int). The sender's
// own codes (-1, -2 and the positive ones) pass through unchanged.
namespace ResultCode
{
enum : int {
    ImageSent = 0,
    CancelledByConsole = -3,
    ImageMissing = -8,
    ImageUnreadable = -9,
    UserSettingsRestored = -10,
    DeviceDataRead = -11,
    UserFileMissing = -12,
    UserFileCorrupted = -13,
    VersionTooOld = -14,
    // The console asked for nothing within the sync loop's bound, or its port was not open.
    NoAnswerFromConsole = -15,
    // The users' data could not be kept in the updater's data location; the console was left
    // as it was.
    UserFileNotKept = -16,
    // The console was still in its loader when the users' data were to go back; sending them
    // would have handed the database to the loader as firmware.
    DeviceStillInLoader = -17,
    // The console on the port is not the one whose users' data are held (its "SN" differs, or
    // could not be read, or no serial number is known): nothing was removed or sent, the port
    // was closed.
    WrongConsole = -18,
    // The users' file failed "PRAGMA integrity_check" after the migration statements, or a
    // journal was left beside it: the console was not touched; the original is kept.
    UserFileBrokenByMigration = -19,
    // The console's reply to "VE" held no version number: an update that keeps the users' data
    // cannot tell whether the console is too old or needs the statements; nothing was written.
    VersionUnreadable = -20,
    // After "reset" the console's loader did not come back as exactly one port within the
    // bound: the console waits in its loader (a rescue update brings it back).
    ConsoleNotBackFromReset = -21,
    // The private folder for the received users' file could not be made: the console was not
    // touched.
    ReceiveFolderUnavailable = -22,
    // The update was stopped on request (YMODEM::requestStop, the window's "Back" or close)
    // after the users' data were saved and kept, before the loader entry: the console runs its
    // application, untouched. The port was closed; the kept copy of the users' data stays.
    StoppedByUser = -23,
    // The same after the loader entry, before the image: the console waits in its loader (a
    // rescue update brings it back).
    StoppedInLoader = -26,
};
} // namespace ResultCode

// Port states, carried as their values by YMODEM::serialConnected(int).
enum class PortState : int {
    Open = 0,
    OpenFailed = -1,
    Closed = -2,
};

#endif // RESULTCODES_H
