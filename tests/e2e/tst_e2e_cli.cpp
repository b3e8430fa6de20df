// brenvik-update against simulated consoles: every console a sim-console process with its link
// in one folder (a new name at every reset), the command line a test build of the program whose
// waits follow UPDATER_TIME_SCALE.
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <vector>

namespace
{
const double timeScale = 0.1;
const int runLimitMs = 200000;

QString buildPath(const QString& relative)
{
    return qEnvironmentVariable("UPDATER_BUILD_DIR") + QLatin1Char('/') + relative;
}

QString serialOf(int n)
{
    return QStringLiteral("BRV24030000%1").arg(n, 2, 10, QLatin1Char('0'));
}

// The serial number a users' database names (each simulated console records its own).
QString recordedSerial(const QString& dbPath)
{
    QString serial;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("c"));
        db.setDatabaseName(dbPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT value FROM settings WHERE key = 'serial'")) &&
                q.next())
                serial = q.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("c"));
    return serial;
}
} // namespace

class TestE2eCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void allConsolesOneFailingInImage();
    void badInput_data();
    void badInput();
    void ctrlCStopsAtSafePoint();

private:
    bool startConsole(int n, const QStringList& extra = {});
    QProcess* startCli(const QStringList& args);
    int runCli(const QStringList& args, QByteArray* out, QByteArray* err = nullptr);
    static QList<QJsonObject> jsonLines(const QByteArray& out);
    QString consoleDir(int n) const { return root->filePath(QStringLiteral("console%1").arg(n)); }

    std::unique_ptr<QTemporaryDir> root;
    QString release;
    std::vector<std::unique_ptr<QProcess>> consoles;
};

void TestE2eCli::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    QDir().mkpath(root->filePath(QStringLiteral("dev")));
    QDir().mkpath(root->filePath(QStringLiteral("home")));
    QProcess make;
    make.start(QStringLiteral("bash"),
               {qEnvironmentVariable("UPDATER_SOURCE_DIR") + "/scripts/make-demo-package.sh",
                root->filePath(QStringLiteral("pkg"))});
    QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);
    release = root->filePath(QStringLiteral("pkg/Brenvik/Updater"));
}

void TestE2eCli::cleanup()
{
    // A failed run leaves its trace and the consoles' logs in the test's output.
    if (QTest::currentTestFailed()) {
        QDir traces(root->filePath(QStringLiteral("home/Brenvik/Updater/trace")));
        const QStringList logs =
            traces.entryList(QDir::Files)
                .replaceInStrings(QRegularExpression("^"), traces.path() + QLatin1Char('/'));
        for (const QString& log :
             logs + QStringList{consoleDir(1) + "/console.log", consoleDir(2) + "/console.log",
                                consoleDir(3) + "/console.log"}) {
            QFile f(log);
            if (f.open(QIODevice::ReadOnly))
                qWarning().noquote() << "----" << log << "\n" << f.readAll().right(6000);
        }
    }
    for (auto& p : consoles) {
        p->terminate();
        p->waitForFinished(5000);
    }
    consoles.clear();
    root.reset();
}

bool TestE2eCli::startConsole(int n, const QStringList& extra)
{
    auto p = std::make_unique<QProcess>();
    p->start(buildPath(QStringLiteral("sim/sim-console")),
             QStringList{"--dir", consoleDir(n), "--link-dir", root->filePath("dev"), "--sn",
                         QStringLiteral("SN\\t%1\\tE7").arg(serialOf(n)), "--time-scale",
                         QString::number(timeScale)} +
                 extra);
    // The first line is the console's device: it is there.
    const bool up = p->waitForReadyRead(10000) && p->canReadLine();
    consoles.push_back(std::move(p));
    return up;
}

QProcess* TestE2eCli::startCli(const QStringList& args)
{
    auto* p = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("UPDATER_TIME_SCALE"), QString::number(timeScale));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root->filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("UPDATER_EXTRA_PORTS"),
               root->filePath(QStringLiteral("dev")) + QStringLiteral("=STMicroelectronics."));
    p->setProcessEnvironment(env);
    p->start(buildPath(QStringLiteral("tests/e2e/brenvik-update-scaled")), args);
    return p;
}

int TestE2eCli::runCli(const QStringList& args, QByteArray* out, QByteArray* err)
{
    QProcess* p = startCli(args);
    p->closeWriteChannel();
    if (!p->waitForFinished(runLimitMs))
        p->kill();
    p->waitForFinished(5000);
    *out = p->readAllStandardOutput();
    if (err)
        *err = p->readAllStandardError();
    const int code = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    delete p;
    return code;
}

QList<QJsonObject> TestE2eCli::jsonLines(const QByteArray& out)
{
    QList<QJsonObject> lines;
    for (const QByteArray& line : out.split('\n')) {
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            return {}; // every line must be one object
        lines << doc.object();
    }
    return lines;
}

// Three consoles, each back under another name at every reset, updated side by side; the
// second loses its cable in the middle of the image.
void TestE2eCli::allConsolesOneFailingInImage()
{
    QVERIFY(startConsole(1));
    QVERIFY(startConsole(2, {"--hangup-at", "block:2000", "--fault-transfer", "loader"}));
    QVERIFY(startConsole(3));

    QByteArray out;
    QByteArray err;
    const int code =
        runCli({"update", "--all", "--yes", "--json", "--release", release}, &out, &err);
    QCOMPARE(code, 1);
    const QList<QJsonObject> events = jsonLines(out);
    QVERIFY2(!events.isEmpty(), out.constData());

    // The schema: these keys and types on every line, nothing else.
    QMap<QString, QJsonObject> last;
    for (const QJsonObject& e : events) {
        QCOMPARE(QStringList(e.keys()),
                 (QStringList{"code", "console", "port", "progress", "step", "text"}));
        QVERIFY(e.value("console").isString() && e.value("step").isString() &&
                e.value("text").isString() && e.value("port").isString());
        QVERIFY(e.value("progress").isNull() || e.value("progress").isDouble());
        QVERIFY(e.value("code").isNull() || e.value("code").isDouble());
        if (!e.value("code").isNull())
            last[e.value("console").toString()] = e;
    }
    QCOMPARE(last.size(), 3);
    for (int n : {1, 3}) {
        const QJsonObject end = last.value(serialOf(n));
        QVERIFY2(end.value("step").toString() == QLatin1String("done"),
                 qPrintable(end.value("text").toString()));
        QCOMPARE(end.value("code").toInt(), 0);
        // Each console holds its own users' data, nobody else's.
        QCOMPARE(recordedSerial(consoleDir(n) + "/BrenvikDATA"), serialOf(n));
    }
    const QJsonObject failed = last.value(serialOf(2));
    QCOMPARE(failed.value("step").toString(), QStringLiteral("failed"));
    QVERIFY(failed.value("code").toInt() != 0);
    // Its data are kept and named, and they are its own.
    const QString text = failed.value("text").toString();
    const int at = text.indexOf(QStringLiteral("kept in:\n"));
    QVERIFY2(at >= 0, qPrintable(text));
    const QString kept = text.mid(at + 9).section(QLatin1Char('\n'), 0, 0);
    QVERIFY2(QFileInfo(kept).isFile(), qPrintable(kept));
    QCOMPARE(recordedSerial(kept), serialOf(2));

    // The history: newest first, the failed run unfinished with its kept copy.
    QVERIFY(runCli({"history", "--json"}, &out) == 0);
    const QList<QJsonObject> rows = jsonLines(out);
    QCOMPARE(rows.size(), 3);
    int ok = 0;
    for (const QJsonObject& row : rows) {
        QCOMPARE(row.value("release").toString(), QStringLiteral("v11.30.06.01.1.10"));
        if (row.value("console").toString() == serialOf(2)) {
            QVERIFY(row.value("result").toString().startsWith("unfinished"));
            QCOMPARE(row.value("keptCopy").toString(), kept);
        } else {
            ok += row.value("result").toString() == QLatin1String("ok");
        }
    }
    QCOMPARE(ok, 2);

    // The two consoles still attached (once back from their last restart), updated, nothing
    // waiting for them.
    QList<QJsonObject> listed;
    QTRY_VERIFY_WITH_TIMEOUT(
        (runCli({"list", "--json"}, &out) == 0 && (listed = jsonLines(out)).size() == 2), 20000);
    for (const QJsonObject& row : listed) {
        QVERIFY(row.value("serial").toString() == serialOf(1) ||
                row.value("serial").toString() == serialOf(3));
        QCOMPARE(row.value("mode").toString(), QStringLiteral("application"));
        QCOMPARE(row.value("version").toString(), QStringLiteral("v01.02.05.00.1.7"));
        QCOMPARE(row.value("restorePending").toString(), QStringLiteral("no"));
    }
}

void TestE2eCli::badInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");

    QTest::newRow("unknown serial") << QStringList{"update", "--serial", "BRV0"}
                                    << "no console with serial number BRV0 is attached";
    QTest::newRow("port not a console")
        << QStringList{"update", "--port", "/dev/null"} << "/dev/null: not a Brenvik console";
    QTest::newRow("no such port") << QStringList{"update", "--port", "/nonexistent/tty"}
                                  << "/nonexistent/tty: no such port";
    QTest::newRow("release missing")
        << QStringList{"update", "--release", "/nonexistent"} << "release missing or malformed";
    QTest::newRow("one console asked twice")
        << QStringList{"update", "--serial", serialOf(1), "--serial", serialOf(1)}
        << "two updates asked for console " + serialOf(1);
    QTest::newRow("unknown command") << QStringList{"upgrade"} << "unknown command upgrade";
    QTest::newRow("restore with nothing kept")
        << QStringList{"restore", "--serial", serialOf(1)}
        << serialOf(1) + ": no kept users' data wait to go back";
}

// One clear line, status 2, and the console untouched.
void TestE2eCli::badInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    QVERIFY(startConsole(1));
    if (!args.contains("--release") && args.first() == QLatin1String("update"))
        args << "--release" << release;
    QByteArray out;
    QByteArray err;
    QCOMPARE(runCli(args + QStringList{"--yes"}, &out, &err), 2);
    const QStringList lines = QString::fromLocal8Bit(err).trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains(says), qPrintable(lines.first()));
    QVERIFY(!QFileInfo::exists(root->filePath("home/Brenvik/Updater/journal")));
}

// The first Ctrl-C while the users' data come off: the run stops before the loader, the
// console keeps running its application with its data.
void TestE2eCli::ctrlCStopsAtSafePoint()
{
    QVERIFY(startConsole(1));
    QProcess* cli = startCli({"update", "--yes", "--json", "--release", release});
    QVERIFY(cli->waitForStarted());
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!out.contains("saving-users-data") && clock.elapsed() < runLimitMs &&
           cli->state() == QProcess::Running) {
        cli->waitForReadyRead(200);
        out += cli->readAllStandardOutput();
    }
    QVERIFY2(out.contains("saving-users-data"), cli->readAllStandardError().constData());
    ::kill(pid_t(cli->processId()), SIGINT);
    QVERIFY(cli->waitForFinished(runLimitMs));
    out += cli->readAllStandardOutput();
    QCOMPARE(cli->exitCode(), 3);
    const QList<QJsonObject> events = jsonLines(out);
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.last().value("step").toString(), QStringLiteral("stopped"));
    QCOMPARE(recordedSerial(consoleDir(1) + "/BrenvikDATA"), serialOf(1));
    QFile state(consoleDir(1) + "/state.json");
    QVERIFY(state.open(QIODevice::ReadOnly));
    const QJsonObject console = QJsonDocument::fromJson(state.readAll()).object();
    QCOMPARE(console.value("version").toString(), QStringLiteral("01020304"));
    QCOMPARE(console.value("imagesProgrammed").toInt(), 0);
    delete cli;
}

QTEST_GUILESS_MAIN(TestE2eCli)
#include "tst_e2e_cli.moc"
