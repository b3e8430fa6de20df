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
};
} // namespace ResultCode

#endif // RESULTCODES_H
