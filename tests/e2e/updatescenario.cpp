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
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

namespace
{
const char* const consoleManufacturer = "STMicroelectronics.";
const qint64 imageSize = 16777216;
const int sampleMs = 5;
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
    if (settled && settled(*this))
        QCoreApplication::exit(98);
}

bool UpdateScenario::drive(QString* why)
{
    // The scan finds the console; "Next" connects and reads its data; "Update" starts.
    if (!waitFor(
            [this] {
                QPushButton* b = button(QStringLiteral("Next"));
                return b && b->isEnabled();
            },
            20000)) {
        *why = quitSeen ? QString() : QStringLiteral("the console was never detected");
        return quitSeen;
    }
    // The user picks the console to update (the scan selects the top entry every time).
    QComboBox* ports = MainWindowTestAccess(window).ui()->serialCombobox;
    const int entry = ports->findData(tap ? tap->portPath() : simConsole->portPath());
    if (entry >= 0)
        ports->setCurrentIndex(entry);
    button(QStringLiteral("Next"))->click();
    if (!waitFor(
            [this] {
                QPushButton* b = button(QStringLiteral("Update"));
                return b && b->isEnabled();
            },
            30000)) {
        *why = quitSeen ? QString() : QStringLiteral("\"Update\" was never enabled");
        return quitSeen;
    }
    if (tickRescue) {
        MainWindowTestAccess(window).ui()->rescueMode->click();
    }
    button(QStringLiteral("Update"))->click();
    updatePressed = true;
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
    simConsole.reset(new SimConsole(sim));
    if (!simConsole->start(&error)) {
        *why = QStringLiteral("the simulated console did not start: ") + error;
        return false;
    }
    {
        QFile db(consoleFile(QStringLiteral("/BrenvikDATA")));
        if (db.open(QIODevice::ReadOnly))
            usersDbAtStart = db.readAll();
    }
    if (withOtherConsole) {
        if (other.link.isEmpty())
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
    console = simConsole->status();
    simConsole->stop();
    if (otherConsole) {
        otherStatus = otherConsole->status();
        otherConsole->stop();
        otherFilesAfter = filesOf(other.dir);
    }
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
