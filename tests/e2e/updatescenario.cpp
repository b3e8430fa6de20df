#include "updatescenario.h"

#include "linetap.h"
#include "mainwindow.h"
#include "mainwindowtestaccess.h"
#include "simconsole.h"
#include "startup.h"
#include "timescale.h"
#include "ui_mainwindow.h"
#include "usersdatastore.h"
#include "ymodem.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

namespace
{
const char* const consoleManufacturer = "STMicroelectronics.";
const qint64 imageSize = 16777216;
const int sampleMs = 5;
// How long a user takes between two steps that the scan has to notice (two scans).
const int userPauseMs = 1000;
// How long the page must stay as it is before a run without "Update" counts as over.
const int restingMs = 2000;
} // namespace

UpdateScenario::UpdateScenario(double timeScale) : scale(timeScale)
{
    TimeScale::setFactor(scale);
    sim.timeScale = scale;
    sim.dir = root.path() + QStringLiteral("/console");
    consoleDir = sim.dir;
    // The console as the real one behaves: a reset drops the line, a flash replaces the files.
    sim.resetDropsLine = true;
    sim.flashReplacesFiles = true;
    other = sim;
    other.dir = root.path() + QStringLiteral("/other-console");
    other.sn = QStringLiteral("SN\tBRV2403009999\tE7");
}

QMap<QString, QByteArray> UpdateScenario::filesOf(const QString& dir)
{
    QMap<QString, QByteArray> files;
    const QDir d(dir);
    for (const QString& name : d.entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
        if (name == QLatin1String("console.log") || name == QLatin1String("state.json"))
            continue;
        QFile f(d.filePath(name));
        files.insert(name, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    }
    return files;
}

UpdateScenario::~UpdateScenario()
{
    delete startup;
    if (tap)
        tap->stop();
    if (simConsole)
        simConsole->stop();
    if (otherConsole)
        otherConsole->stop();
}

QString UpdateScenario::packageDir() const
{
    return root.path() + QStringLiteral("/system/Brenvik/Updater");
}

QString UpdateScenario::dataHome() const
{
    if (!dataHomeOverride.isEmpty())
        return dataHomeOverride;
    return root.path() + QStringLiteral("/home");
}

QString UpdateScenario::consoleFile(const QString& consolePath) const
{
    return QDir(consoleDir).filePath(consolePath.mid(1));
}

QString UpdateScenario::simLog() const
{
    QFile f(QDir(consoleDir).filePath(QStringLiteral("console.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QVariant UpdateScenario::firstValue(const QString& path, const QString& sql)
{
    const QString name = QStringLiteral("scenario-check");
    QVariant value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next())
                value = q.value(0);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return value;
}

QJsonObject UpdateScenario::consoleNow() const
{
    return simConsole ? simConsole->status() : console;
}

bool UpdateScenario::sawBox(const QString& title, const QString& textPart) const
{
    for (const ModalAnswerer::Seen& box : boxes)
        if (box.title == title && (textPart.isEmpty() || box.text.contains(textPart)))
            return true;
    return false;
}

bool UpdateScenario::writePackage(QString* why)
{
    if (!QDir().mkpath(packageDir()) || !QDir().mkpath(dataHome())) {
        *why = QStringLiteral("cannot make the package folder");
        return false;
    }
    QByteArray ini = "[Versions]\r\n"
                     "Full=v11.30.06.01.1.10\r\n"
                     "Bootloader=1.0\r\n"
                     "Application=30.06\r\n"
                     "Bluetooth=1.10\r\n"
                     "Date=20161215\r\n";
    ini += "minorVersion=" + minorVersion.toUtf8() + "\r\n";
    ini += "VChanged=" + vChanged.toUtf8() + "\r\n";
    ini += "Forced=" + forced.toUtf8() + "\r\n";
    ini += "Query=" + QByteArray::number(queries.size()) + "\r\n";
    for (const QString& q : queries)
        ini += q.toUtf8() + "\r\n";
    if (editVersionsIni)
        editVersionsIni(ini);
    QFile versions(packageDir() + QStringLiteral("/versions.ini"));
    if (!versions.open(QIODevice::WriteOnly) || versions.write(ini) != ini.size()) {
        *why = QStringLiteral("cannot write versions.ini");
        return false;
    }
    versions.close();

    // A pattern rather than zeros, so that a shifted or partial image shows.
    QByteArray image(int(imageSize), Qt::Uninitialized);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char((quint32(i) * 131u + (quint32(i) >> 10) * 7u) & 0xFFu);
    QFile file(packageDir() + QStringLiteral("/brenvik_fw.iso"));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        *why = QStringLiteral("cannot write the image");
        return false;
    }
    return true;
}

QPushButton* UpdateScenario::button(const QString& text) const
{
    if (!startup)
        return nullptr;
    for (QPushButton* b : startup->findChildren<QPushButton*>())
        if (b->text() == text && b->isVisible())
            return b;
    return nullptr;
}

// Waits while serving events. False on time-out, or when the application was asked to quit
// (which ends every event loop, this one included).
bool UpdateScenario::waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    bool met = false;
    bool timedOut = false;
    QTimer check;
    connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            met = true;
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    check.start(10);
    loop.exec();
    if (!met && !timedOut)
        quitSeen = true;
    return met;
}

void UpdateScenario::sample()
{
    if (!window)
        return;
    MainWindowTestAccess access(window);
    const QString label = window->connectionLabel->text();
    if (!label.isEmpty() && label != QLatin1String("Connected") &&
        label != QLatin1String("Not connected") &&
        (resultMessages.isEmpty() || resultMessages.last() != label))
        resultMessages << label;
    if (answerer)
        boxes = answerer->seen;
    if (duringRebootWait)
        if (auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget()))
            duringRebootWait(dialog);
    if (whileUpdating && updatePressed && startup)
        whileUpdating(startup);
    if (!backWhenConsoleIs.isEmpty() && updatePressed && !backPressed && simConsole &&
        SimConsole::stateName(simConsole->state()) == backWhenConsoleIs) {
        if (QPushButton* back = button(QStringLiteral("Back"))) {
            // Set first: the question the click asks serves this sampler again.
            backPressed = true;
            back->click();
        }
    }
    if (settled && settled(*this))
        QCoreApplication::exit(98);
}

// Waits until the button is enabled and presses it; "Next" once the console to pick is listed,
// which the user then picks (the scan selects the top entry every time). False when it never
// came: with a reason, or without one when the application quit meanwhile.
bool UpdateScenario::pressWhenEnabled(const QString& text, int timeoutMs, QString* why)
{
    const bool next = text == QLatin1String("Next");
    QComboBox* ports = MainWindowTestAccess(window).ui()->serialCombobox;
    auto portToPick = [this] {
        if (tap)
            return tap->portPath();
        return (simConsole ? simConsole : otherConsole)->portPath();
    };
    if (!waitFor(
            [&] {
                QPushButton* b = button(text);
                return b && b->isEnabled() && (!next || ports->findData(portToPick()) >= 0);
            },
            timeoutMs)) {
        if (!quitSeen)
            *why = next ? QStringLiteral("the console was never detected")
                        : QStringLiteral("\"%1\" was never enabled").arg(text);
        return false;
    }
    if (next)
        ports->setCurrentIndex(ports->findData(portToPick()));
    if (text == QLatin1String("Update")) {
        if (tickRescue)
            MainWindowTestAccess(window).ui()->rescueMode->click();
        serialShownAtUpdate = MainWindowTestAccess(window).ui()->serialNumberLabel->text();
        updatePressed = true;
    }
    button(text)->click();
    return true;
}

bool UpdateScenario::plugInConsole(QString* why)
{
    simConsole.reset(new SimConsole(sim));
    QString error;
    if (!simConsole->start(&error)) {
        *why = QStringLiteral("the simulated console did not start: ") + error;
        return false;
    }
    QFile db(consoleFile(QStringLiteral("/BrenvikDATA")));
    if (db.open(QIODevice::ReadOnly))
        usersDbAtStart = db.readAll();
    return true;
}

// The console read first goes: "Back" once it was read, unplugged, and the console to update
// plugged in under its link.
bool UpdateScenario::swapConsoles(QString* why)
{
    if (!waitFor(
            [this] {
                QPushButton* b = button(QStringLiteral("Update"));
                return b && b->isEnabled();
            },
            30000)) {
        if (!quitSeen)
            *why = QStringLiteral("the first console was never read");
        return false;
    }
    button(QStringLiteral("Back"))->click();
    otherConsole->stop();
    otherStatus = otherConsole->status();
    otherConsole.reset();
    waitFor([] { return false; }, userPauseMs);
    if (quitSeen || !plugInConsole(why))
        return false;
    waitFor([] { return false; }, userPauseMs);
    return !quitSeen && pressWhenEnabled(QStringLiteral("Next"), 20000, why);
}

bool UpdateScenario::drive(QString* why)
{
    // The scan finds the console; "Next" connects and reads its data; "Update" starts.
    if (!pressWhenEnabled(QStringLiteral("Next"), 20000, why) ||
        (swapInAfterBack && !swapConsoles(why)))
        return quitSeen;
    if (pressUpdate)
        return pressWhenEnabled(QStringLiteral("Update"), 30000, why) || quitSeen;
    // The user only looks: the run is over once "Update" has been offered and nothing else
    // came up for a while.
    QElapsedTimer resting;
    const bool rested = waitFor(
        [this, &resting] {
            QPushButton* b = button(QStringLiteral("Update"));
            if (!b || !b->isEnabled() || QApplication::activeModalWidget()) {
                resting.invalidate();
                return false;
            }
            if (!resting.isValid())
                resting.start();
            return resting.elapsed() >= restingMs;
        },
        30000);
    if (quitSeen)
        return true;
    if (!rested) {
        *why = QStringLiteral("\"Update\" was never enabled");
        return false;
    }
    QCoreApplication::exit(98);
    return true;
}

bool UpdateScenario::run(int timeoutMs, QString* why)
{
    QString error;
    if (!root.isValid() || !writePackage(&error)) {
        *why = error;
        return false;
    }
    // The consoles' links live in one folder, listed as the system lists USB serial devices.
    const QString devices = root.path() + QStringLiteral("/dev");
    QDir().mkpath(devices);
    if (newPathOnReset)
        sim.linkDir = devices;
    else if (sim.link.isEmpty())
        sim.link = devices + QStringLiteral("/ttyACM0");
    if (swapInAfterBack) {
        if (rewriteFromConsole) {
            *why = QStringLiteral("a line tap follows one console only");
            return false;
        }
        // Plugged in first, where the console to update comes later.
        other.link = sim.link;
        other.linkDir = sim.linkDir;
    } else if (!plugInConsole(why)) {
        return false;
    }
    if (withOtherConsole || swapInAfterBack) {
        if (other.link.isEmpty() && other.linkDir.isEmpty())
            other.link = devices + QStringLiteral("/ttyACM7");
        otherConsole.reset(new SimConsole(other));
        if (!otherConsole->start(&error)) {
            *why = QStringLiteral("the other console did not start: ") + error;
            return false;
        }
        otherFilesBefore = filesOf(other.dir);
    }
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    qputenv("XDG_DATA_DIRS", QFile::encodeName(root.path() + QStringLiteral("/system")));
    QString port = devices;
    if (rewriteFromConsole) {
        tap.reset(new LineTap(simConsole->portPath()));
        tap->fromConsole = [this](const QByteArray& chunk) {
            return rewriteFromConsole(chunk, tap->sentToConsole());
        };
        if (!tap->start(&error)) {
            *why = QStringLiteral("the line tap did not start: ") + error;
            return false;
        }
        port = tap->portPath();
    }
    qputenv("UPDATER_EXTRA_PORTS", QFile::encodeName(port) + '=' + consoleManufacturer);

    answerer.reset(new ModalAnswerer(QMessageBox::Ok, nullptr, 10));
    for (QMessageBox::StandardButton b : answers)
        answerer->enqueue(b);

    startup = new Startup;
    window = startup->findChild<MainWindow*>();
    if (!window) {
        *why = QStringLiteral("no updater page");
        return false;
    }
    connect(MainWindowTestAccess(window).ui()->firmwareBar, &QProgressBar::valueChanged, this,
            [this](int v) {
                if (barValues.isEmpty() || barValues.last() != v)
                    barValues << v;
            });
    // Every status line the worker sends, in order (the label shows only the last of a batch).
    connect(MainWindowTestAccess(window).worker(), &YMODEM::setFirmwareUploadStatus, this,
            [this](const QString& status) {
                if (!status.isEmpty() && (statuses.isEmpty() || statuses.last() != status))
                    statuses << status;
            });
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, &UpdateScenario::sample);
    sampler.start(sampleMs);
    startup->show();

    QString driveProblem;
    QTimer::singleShot(0, this, [this, &driveProblem] {
        if (!drive(&driveProblem))
            QCoreApplication::exit(97);
    });
    QTimer::singleShot(timeoutMs, this, [] { QCoreApplication::exit(99); });
    const int rc = QApplication::exec();
    sampler.stop();
    applicationQuit = (rc == 0);
    boxes = answerer->seen;
    answerer.reset();

    // Ends the worker's thread before the console goes away.
    delete startup;
    startup = nullptr;

    if (tap)
        tap->stop();
    if (simConsole) {
        console = simConsole->status();
        simConsole->stop();
    }
    if (otherConsole) {
        otherStatus = otherConsole->status();
        otherConsole->stop();
    }
    if (withOtherConsole || swapInAfterBack)
        otherFilesAfter = filesOf(other.dir);
    const QDir kept(UsersDataStore::folder());
    for (const QString& save : kept.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QDir folder(kept.filePath(save));
        for (const QString& name : folder.entryList(QDir::Files, QDir::Name)) {
            if (name.endsWith(QLatin1String(".original")))
                originalCopies << folder.filePath(name);
            else
                keptCopies << folder.filePath(name);
        }
    }

    if (rc == 99) {
        *why = QStringLiteral("the run did not end within %1 ms").arg(timeoutMs);
        return false;
    }
    if (rc == 97) {
        *why = driveProblem;
        return false;
    }
    return true;
}
