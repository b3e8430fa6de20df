#ifndef UPDATESCENARIO_H
#define UPDATESCENARIO_H

#include "modalanswerer.h"
#include "simoptions.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <QVector>
#include <functional>
#include <memory>

class MainWindow;
class QPushButton;
class LineTap;
class SimConsole;
class Startup;

// One whole run of the updater as a user meets it: a package folder, a simulated console on a
// pseudo-terminal offered to the port scan, the real start-up window with its updater page and
// worker, and a user who presses "Next", then "Update", and answers every box. Records what the
// user saw (boxes, result messages, status lines, the bar) and what became of the console.
class UpdateScenario : public QObject
{
    Q_OBJECT

public:
    // timeScale shortens every fixed wait of the updater and the console's own delays alike.
    explicit UpdateScenario(double timeScale);
    ~UpdateScenario() override;

    // ---- Set up before run() ----
    // The console to update. Its port is a link in a folder the port scan lists (as the
    // system lists USB devices): a reset drops the line and the console comes back under the
    // same link, or with newPathOnReset under the next free name in that folder.
    SimOptions sim;
    bool newPathOnReset = false;
    // A second console on the same computer, with its own serial number and files, whose link
    // sorts after the updated console's (so the window lists it first once that one has moved).
    bool withOtherConsole = false;
    SimOptions other;
    // Instead: the other console is the one plugged in first. The user reads it ("Next"), goes
    // "Back", unplugs it and plugs in the console to update under the same link, then "Next"
    // and "Update". What became of the other one is recorded as for withOtherConsole.
    bool swapInAfterBack = false;
    // versions.ini values; queries are the migration statements.
    QString vChanged = QStringLiteral("020400");
    QString minorVersion = QStringLiteral("000100");
    QString forced = QStringLiteral("NO");
    QStringList queries{QStringLiteral("CREATE TABLE e2e_migrated (step INTEGER)"),
                        QStringLiteral("INSERT INTO e2e_migrated VALUES (1)")};
    // Changes versions.ini as written from the values above (a damaged package).
    std::function<void(QByteArray& versionsIni)> editVersionsIni;
    bool tickRescue = false;
    // The updater's data home; by default a folder of this scenario. A test that runs the
    // updater twice on the same data (an interrupted update) points both runs at one folder.
    QString dataHomeOverride;
    // Answers for the boxes in the order they come; Ok (or the box's escape) after them.
    QList<QMessageBox::StandardButton> answers;
    // Called on each pass while the re-flash wait's progress dialog is up, with the dialog.
    std::function<void(class QProgressDialog*)> duringRebootWait;
    // When set, the line runs through a tap and the updater gets what this makes of each chunk
    // the console sends (given all the updater has sent so far).
    std::function<QByteArray(const QByteArray& chunk, const QByteArray& sentSoFar)>
        rewriteFromConsole;
    // Called on each pass once "Update" was pressed, with the top-level window.
    std::function<void(QWidget* topLevel)> whileUpdating;
    // Once "Update" was pressed: "Back" is pressed (once) when the console gets into this state
    // (SimConsole::stateName); the question it asks takes the next of `answers`.
    QString backWhenConsoleIs;
    // Whether "Update" is pressed at all; without, the run ends once it is enabled and has been
    // for a while (or at whatever ends it before).
    bool pressUpdate = true;
    // The run also ends (without the application quitting) once this holds.
    std::function<bool(const UpdateScenario&)> settled;

    // ---- Run ----
    // Starts the console and the windows and plays the user. Returns false with a reason when
    // the scenario could not be set up or the run did not end within timeoutMs.
    bool run(int timeoutMs, QString* why);

    // ---- What happened ----
    bool applicationQuit = false;
    QList<ModalAnswerer::Seen> boxes;
    QStringList resultMessages; // texts shown in the connection label other than the plain ones
    QStringList statuses;       // the worker's status lines in their order (repeats dropped)
    QVector<int> barValues;     // distinct values of the bar in their order
    QJsonObject console;        // the simulated console's state after the run
    QString consoleDir;
    // The other console: its state and its files (name to bytes, its log and record left out)
    // before the run and after it.
    QJsonObject otherStatus;
    QMap<QString, QByteArray> otherFilesBefore;
    QMap<QString, QByteArray> otherFilesAfter;
    QStringList keptCopies;      // users' data copies (as sent back) in the updater's data location
    QStringList originalCopies;  // the users' files exactly as received, kept beside them
    QByteArray usersDbAtStart;   // the console's users' database before the run
    QString serialShownAtUpdate; // the serial number label when "Update" was pressed
    bool updateClicked() const { return updatePressed; }
    bool backClicked() const { return backPressed; }
    QString simLog() const;
    // The console's state now, also while the run goes on (for `settled`).
    QJsonObject consoleNow() const;

    bool sawBox(const QString& title, const QString& textPart = QString()) const;
    // The boxes seen so far, also while the run goes on (for `settled`).
    QList<ModalAnswerer::Seen> boxesSoFar() const { return answerer ? answerer->seen : boxes; }
    bool sawMessage(const QString& text) const { return resultMessages.contains(text); }
    QString consoleFile(const QString& consolePath) const;
    // The first column of the first row that sql gives on the SQLite file at path (invalid
    // when it cannot be read).
    static QVariant firstValue(const QString& path, const QString& sql);
    QString packageDir() const;
    QString dataHome() const;

private:
    void sample();
    bool waitFor(const std::function<bool()>& condition, int timeoutMs);
    QPushButton* button(const QString& text) const;
    bool drive(QString* why);
    bool pressWhenEnabled(const QString& text, int timeoutMs, QString* why);
    bool plugInConsole(QString* why);
    bool swapConsoles(QString* why);
    bool writePackage(QString* why);

    double scale;
    QTemporaryDir root;
    static QMap<QString, QByteArray> filesOf(const QString& dir);
    std::unique_ptr<SimConsole> simConsole;
    std::unique_ptr<SimConsole> otherConsole;
    std::unique_ptr<LineTap> tap;
    std::unique_ptr<ModalAnswerer> answerer;
    Startup* startup = nullptr;
    QPointer<MainWindow> window;
    bool quitSeen = false;
    bool updatePressed = false;
    bool backPressed = false;
};

#endif // UPDATESCENARIO_H
