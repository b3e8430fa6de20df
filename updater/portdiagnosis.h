#ifndef PORTDIAGNOSIS_H
#define PORTDIAGNOSIS_H

#include <QList>
#include <QString>

// Why a serial port could not be opened, and what the user can do about it, from the error
// number the open failed with and what the system shows about the device. The window puts
// detail() under "Could not open Serial Port." and the trace gets the same words.
class PortDiagnosis
{
public:
    enum Reason { NoError, PermissionDenied, Busy, Gone, OtherError };

    struct Holder {
        qint64 pid = 0;
        QString name; // the process' command name, empty if the system does not say
    };

    PortDiagnosis() = default;

    // Looks at `device` now: the error number decides the reason; the device's group, the
    // user's groups and the processes holding it fill in the detail.
    static PortDiagnosis diagnose(const QString& device, int openErrno);
    // The same for the last port open in this process that failed (NoError when the last
    // open succeeded).
    static PortDiagnosis lastOpenFailure();

    Reason reason() const { return why; }
    int errorNumber() const { return errnum; }
    QString device() const { return path; }
    // For a permission failure: the group that owns the device, and whether this user is in
    // it (a user added to it since logging in still has the old groups).
    QString owningGroup() const { return group; }
    bool userInGroup() const { return inGroup; }
    // For a busy port: the processes that have it open, as far as /proc shows them.
    QList<Holder> holders() const { return holding; }

    // One line: what went wrong.
    QString summary() const;
    // The reason and the fix, a few lines, for the message box's detail and the trace.
    QString detail() const;
    // detail() with lines ended by CR LF, for the trace.
    QString traceText() const;

    // Platform side (portdiagnosis_linux.cpp).
    static Reason reasonFor(int openErrno);
    static QList<Holder> processesHolding(const QString& device);
    static QString groupOwning(const QString& device);
    static bool currentUserInGroup(const QString& group);
    static QString errorText(int openErrno);

private:
    Reason why = NoError;
    int errnum = 0;
    QString path;
    QString group;
    bool inGroup = false;
    QList<Holder> holding;
};

#endif // PORTDIAGNOSIS_H
