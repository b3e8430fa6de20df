// The worker's console sequences against a scripted console on a pseudo-terminal: what is
// written, which signals come in which order, and the result codes with their port states.
// Whole updates with a console that really transfers files are in the end-to-end tests.
#include "resultcodes.h"
#include "simconsole.h"
#include "stdouttofile.h"
#include "timescale.h"
#include "usersdatastore.h"
#include "ymodem.h"
#include "ymodemtestaccess.h"

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

// The console's side of the line: records everything the worker writes and answers whole
// command lines from a table.
class ScriptedConsole
{
public:
    ScriptedConsole()
    {
        char name[128] = {0};
        int slave = -1;
        int fd = -1;
        if (::openpty(&fd, &slave, name, nullptr, nullptr) == 0) {
            master = fd;
            path = QString::fromLocal8Bit(name);
            struct termios t;
            ::tcgetattr(slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(slave, TCSANOW, &t);
            ::close(slave);
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        }
        reader = std::thread([this] { run(); });
    }
    ~ScriptedConsole()
    {
        stop = true;
        reader.join();
        if (master >= 0)
            ::close(master);
    }

    // Pulls the cable: the master is closed (by the reader, so that no read can meet a reused
    // descriptor) and the worker's side sees the hang-up.
    void hangUp()
    {
        hangupRequested = true;
        while (master >= 0)
            ::usleep(1000);
    }
    // Plays the console's YMODEM sender after "send file /BrenvikDATA": the first packet on the
    // receiver's first "C", each further one on an ACK.
    void sendFileOnRequest(const QList<QByteArray>& packets)
    {
        std::lock_guard<std::mutex> lock(mutex);
        filePackets = packets;
    }

    void answer(const QByteArray& line, const QByteArray& reply)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies[line] = reply;
    }
    void send(const QByteArray& bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ::write(master, bytes.constData(), size_t(bytes.size()));
    }
    QByteArray written()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return all;
    }

    QString path;

private:
    void run()
    {
        while (!stop) {
            if (hangupRequested && master >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                ::close(master);
                master = -1;
            }
            if (master < 0) {
                ::usleep(5000);
                continue;
            }
            struct pollfd p = {master, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0)
                continue;
            if (!(p.revents & POLLIN)) {
                ::usleep(5000); // nobody has the slave open (POLLHUP)
                continue;
            }
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex);
            all.append(buf, int(n));
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buf[i];
                if (sending && !filePackets.isEmpty() &&
                    (c == '\x06' || (c == 'C' && !sendStarted))) {
                    sendStarted = true;
                    const QByteArray packet = filePackets.takeFirst();
                    ::write(master, packet.constData(), size_t(packet.size()));
                    continue;
                }
                line.append(c);
                if (!line.endsWith("\r\n"))
                    continue;
                if (line.endsWith("send file /BrenvikDATA\r\n"))
                    sending = true;
                const auto it = replies.find(line);
                if (it != replies.end())
                    ::write(master, it->second.constData(), size_t(it->second.size()));
                line.clear();
            }
        }
    }

    std::atomic<int> master{-1};
    std::atomic<bool> hangupRequested{false};
    bool sending = false;
    bool sendStarted = false;
    QList<QByteArray> filePackets;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<QByteArray, QByteArray> replies;
    QByteArray all;
    QByteArray line;
};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A YMODEM packet as a console's sender makes it.
QByteArray packet(int number, const QByteArray& payload, int size)
{
    QByteArray data = payload.left(size);
    data.append(size - data.size(), char(0x1A));
    QByteArray out;
    out.append(size == 128 ? char(0x01) : char(0x02));
    out.append(char(number & 0xFF));
    out.append(char(0xFF - (number & 0xFF)));
    out.append(data);
    const quint16 crc =
        YMODEM::Crc16_Compute(reinterpret_cast<const unsigned char*>(data.constData()), size);
    out.append(char(crc >> 8));
    out.append(char(crc & 0xFF));
    return out;
}

// A header block: name NUL size, the rest NUL (an empty text ends the batch).
QByteArray headerPacket(const QByteArray& text)
{
    return packet(0, text + QByteArray(128 - text.size(), '\0'), 128);
}

// Sets an environment variable for a scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const QByteArray& value) : name(name), old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { qputenv(name, old); }
    const char* name;
    QByteArray old;
};

} // namespace

class TestConsoleSequences : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void queryBeforeUpdate_data();
    void queryBeforeUpdate();
    void queryBeforeUpdateInLoader();
    void queryFlags_data();
    void queryFlags();
    void queryAfterUpdate_data();
    void queryAfterUpdate();
    void queriesWithoutPort();

    void tooOldWritesNothing();
    void imageProblemsLeaveConsoleAlone_data();
    void imageProblemsLeaveConsoleAlone();
    void rescueSkipsUsersData();
    void syncLoop_data();
    void syncLoop();

    void updateKeepsUsersData_data();
    void updateKeepsUsersData();
    void updateStopsOnRequest_data();
    void updateStopsOnRequest();
    void saveRefusesOtherFile_data();
    void saveRefusesOtherFile();

    void restoreRefusesBadFile_data();
    void restoreRefusesBadFile();
    void restoreKeepsConsoleCopy_data();
    void restoreKeepsConsoleCopy();
    void renameWithoutPort();
    void renameAndReset();

private:
    void connectWorker();
    void connectWorker(const QString& path);
    YmodemTestAccess::QueryFlags queryFlagsNow();
    // A users' database of the console's kind, as bytes.
    QByteArray usersDatabase();
    template <typename F> void call(F f)
    {
        QMetaObject::invokeMethod(worker, f, Qt::QueuedConnection);
    }
    // Names of the worker's signals in the order they arrived, with their first argument.
    QStringList events() const;
    // Sends bytes once the worker is in its sync loop (they would be taken as a reply before).
    void sendWhenLoading(const QByteArray& bytes);
    // A one-byte image in the test's folder.
    QString tinyImage();
    QString image(const QByteArray& contents);
    // A simulated console in the test's folder, on a link of its own.
    SimOptions simOptions() const;
    // An update without users' data, which the console cancels when it is asked for the image.
    void rescueCancelledAtImage(const QString& image);

    QThread* thread = nullptr;
    YMODEM* worker = nullptr;
    ScriptedConsole* console = nullptr;
    QList<QPair<QString, QVariant>>* log = nullptr;
    QTemporaryDir* tmp = nullptr;
    QStringList statuses;
    QTemporaryDir dataHome; // the updater's data location: kept copies of users' data
    QStringList failedStatements;
    QString originalCopy;
};

void TestConsoleSequences::initTestCase()
{
    qRegisterMetaType<QStringList*>("QStringList*");
    TimeScale::setFactor(0.2);
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
}

void TestConsoleSequences::init()
{
    tmp = new QTemporaryDir;
    console = new ScriptedConsole;
    QVERIFY(!console->path.isEmpty());
    thread = new QThread;
    worker = new YMODEM;
    worker->moveToThread(thread);
    thread->start();

    log = new QList<QPair<QString, QVariant>>;
    auto record = [this](const char* name) {
        return [this, name](const QVariant& v) { log->append({QString::fromLatin1(name), v}); };
    };
    connect(worker, &YMODEM::serialConnected, this, [=](int v) { record("serialConnected")(v); });
    connect(worker, &YMODEM::yModemResult, this, [=](int v) { record("yModemResult")(v); });
    connect(worker, &YMODEM::versionReady, this, [=](QString v) { record("versionReady")(v); });
    connect(worker, &YMODEM::serialReady, this, [=](QString v) { record("serialReady")(v); });
    connect(worker, &YMODEM::articleReady, this, [=](QString v) { record("articleReady")(v); });
    connect(worker, &YMODEM::nameReady, this, [=](QString v) { record("nameReady")(v); });
    connect(worker, &YMODEM::monitorID, this, [=](QString v) { record("monitorID")(v); });
    connect(worker, &YMODEM::readUserDataDone, this,
            [=]() { record("readUserDataDone")(QVariant()); });
    connect(worker, &YMODEM::enableUpdateSignal, this,
            [=](bool v) { record("enableUpdateSignal")(v); });
    connect(worker, &YMODEM::verCompErrorSignal, this,
            [=]() { record("verCompErrorSignal")(QVariant()); });
    connect(worker, &YMODEM::shutdownDelayedSignal, this,
            [=]() { record("shutdownDelayedSignal")(QVariant()); });
    connect(worker, &YMODEM::putUserSettingPath, this,
            [=](QString v) { record("putUserSettingPath")(v); });
    connect(worker->notices(), &UsersDataNotices::migrationReport, this,
            [=](QStringList failed, QString original) {
                failedStatements = failed;
                originalCopy = original;
                record("migrationReport")(failed.size());
            });
    failedStatements.clear();
    originalCopy.clear();
    statuses.clear();
    connect(worker, &YMODEM::setFirmwareUploadStatus, this, [this](QString v) {
        if (statuses.isEmpty() || statuses.last() != v)
            statuses << v;
    });
}

void TestConsoleSequences::cleanup()
{
    // Ends the worker in its own thread, then the thread.
    QMetaObject::invokeMethod(worker, "serialDisconnect", Qt::BlockingQueuedConnection);
    disconnect(worker, nullptr, this, nullptr);
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); // signals still on their way
    worker->deleteLater();
    thread->quit();
    QVERIFY(thread->wait(10000));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    delete thread;
    delete console;
    delete log;
    delete tmp;
}

void TestConsoleSequences::connectWorker()
{
    connectWorker(console->path);
}

void TestConsoleSequences::connectWorker(const QString& name)
{
    QMetaObject::invokeMethod(worker, "ySerialConnect", Qt::QueuedConnection, Q_ARG(QString, name));
    QTRY_VERIFY_WITH_TIMEOUT(events().contains(QStringLiteral("serialConnected:0")), 10000);
    log->clear();
}

YmodemTestAccess::QueryFlags TestConsoleSequences::queryFlagsNow()
{
    YmodemTestAccess::QueryFlags flags;
    QMetaObject::invokeMethod(
        worker, [&] { flags = YmodemTestAccess::queryFlags(*worker); },
        Qt::BlockingQueuedConnection);
    return flags;
}

QByteArray TestConsoleSequences::usersDatabase()
{
    const QString path = tmp->filePath(QStringLiteral("made.db"));
    QFile::remove(path);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "made");
        db.setDatabaseName(path);
        [&] { QVERIFY(db.open()); }();
        QSqlQuery q(db);
        q.exec(QStringLiteral("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT)"));
        for (int i = 0; i < 40; ++i)
            q.exec(QStringLiteral("INSERT INTO users (name) VALUES ('user %1')").arg(i));
        db.close();
    }
    QSqlDatabase::removeDatabase("made");
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void TestConsoleSequences::sendWhenLoading(const QByteArray& bytes)
{
    QTRY_VERIFY_WITH_TIMEOUT(statuses.contains(QStringLiteral("File Loading...")), 20000);
    console->send(bytes);
}

QString TestConsoleSequences::tinyImage()
{
    return image(QByteArray("x"));
}

QString TestConsoleSequences::image(const QByteArray& contents)
{
    QFile image(tmp->filePath("fw.iso"));
    [&] { QVERIFY(image.open(QIODevice::WriteOnly)); }();
    image.write(contents);
    return image.fileName();
}

SimOptions TestConsoleSequences::simOptions() const
{
    SimOptions options;
    options.dir = tmp->filePath("console");
    options.timeScale = TimeScale::factor();
    options.link = tmp->filePath("ttyCONSOLE");
    return options;
}

void TestConsoleSequences::rescueCancelledAtImage(const QString& image)
{
    QMetaObject::invokeMethod(worker, "preserveSettingsModeSlot", Qt::QueuedConnection,
                              Q_ARG(bool, false));
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection, Q_ARG(QString, image));
    QTRY_VERIFY_WITH_TIMEOUT(console->written().contains("spi delsect 4095"), 10000);
    sendWhenLoading(QByteArray("\x18\x18", 2));
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("yModemResult:-3"), 20000);
}

QStringList TestConsoleSequences::events() const
{
    QStringList out;
    for (const auto& e : *log)
        out << (e.second.isValid() ? e.first + QLatin1Char(':') + e.second.toString() : e.first);
    return out;
}

void TestConsoleSequences::queryBeforeUpdate_data()
{
    QTest::addColumn<QByteArray>("bv");
    QTest::addColumn<QByteArray>("ki");
    QTest::addColumn<QByteArray>("sn");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("all fields") << QByteArray("1.2.3\r\n") << QByteArray("X\tY\tZ\r\n")
                                << QByteArray("SN\tA123\r\n")
                                << QStringList{"versionReady:v01.02.03.04.2.3",
                                               "nameReady:Y",
                                               "monitorID:X",
                                               "articleReady:ART-9",
                                               "serialReady:A123",
                                               "enableUpdateSignal:true"};
    QTest::newRow("short replies")
        << QByteArray("1.2\r\n") << QByteArray("XY\r\n") << QByteArray("A123\r\n")
        << QStringList{"articleReady:ART-9", "enableUpdateSignal:true"};
}

void TestConsoleSequences::queryBeforeUpdate()
{
    QFETCH(QByteArray, bv);
    QFETCH(QByteArray, ki);
    QFETCH(QByteArray, sn);
    QFETCH(QStringList, expected);
    console->answer("VE\r\n", "01020304\r\n");
    console->answer("BV\r\n", bv);
    console->answer("KI\r\n", ki);
    console->answer("CA\r\n", "ART-9\r\n");
    console->answer("SN\r\n", sn);
    connectWorker();
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(
        !events().isEmpty() && events().last().startsWith("enableUpdateSignal"), 10000);
    QTest::qWait(100);
    QCOMPARE(events(), expected);
    QCOMPARE(console->written(), QByteArray("VE\r\nBV\r\nKI\r\nCA\r\nSN\r\n"));
}

void TestConsoleSequences::queryBeforeUpdateInLoader()
{
    console->answer("VE\r\n", "CCC\r\n");
    connectWorker();
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(!events().isEmpty(), 10000);
    QTest::qWait(500);
    QCOMPARE(events(), QStringList{"enableUpdateSignal:false"});
    QCOMPARE(console->written(), QByteArray("VE\r\n"));

    // The loader found there turns the next update into one without users' data, even though
    // nobody asked for rescue: no shell, no receive.
    QFile image(tmp->filePath("fw.iso"));
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(64, 'x'));
    image.close();
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection,
                              Q_ARG(QString, image.fileName()));
    QTRY_VERIFY_WITH_TIMEOUT(console->written().contains("spi delsect 4095\r\n"), 10000);
    QVERIFY(!console->written().contains("send file"));
    QVERIFY(!events().contains("readUserDataDone"));
    sendWhenLoading(QByteArray("\x18\x18", 2)); // let the sequence end quickly
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("yModemResult:-3"), 20000);
}

void TestConsoleSequences::queryFlags_data()
{
    QTest::addColumn<QByteArray>("ve");
    QTest::addColumn<int>("verChanged");
    QTest::addColumn<int>("minVer");
    QTest::addColumn<bool>("tooOld");
    QTest::addColumn<int>("refusal");  // what an update that keeps the users' data gets; 0 none
    QTest::addColumn<bool>("changed"); // the users' data need the statements
    // The reply to "VE" of another console read before by the same worker (which also tells
    // its serial number); empty: none.
    QTest::addColumn<QByteArray>("earlier");

    const QByteArray none;
    QTest::newRow("newer than limit")
        << QByteArray("01020304\r\n") << 300000 << 20303 << false << 0 << true << none;
    QTest::newRow("at the limit") << QByteArray("01020304\r\n") << 300000 << 20304 << true << -14
                                  << true << none;
    QTest::newRow("below the limit")
        << QByteArray("01020304\r\n") << 300000 << 30000 << true << -14 << true << none;
    // No version must not pass for version 0, which would skip both checks.
    QTest::newRow("not a number") << QByteArray("01xx\r\n") << 300000 << 30000 << false << -20
                                  << false << none;
    QTest::newRow("empty reply") << QByteArray() << 300000 << 30000 << false << -20 << false
                                 << none;
    // The version comes from what the console sent after the echo of the command.
    QTest::newRow("echoed command")
        << QByteArray("VE\r\n01020304\r\n") << 300000 << 20304 << true << -14 << true << none;
    // A reply with a "C" in it that is not made of "C"s is the application's, not the loader.
    QTest::newRow("C in the reply")
        << QByteArray("01C20304\r\n") << 300000 << 30000 << false << -20 << false << none;
    // Each console's flags are its own: nothing of the one read before stays.
    QTest::newRow("after a too old console") << QByteArray("01040000\r\n") << 30000 << 20000
                                             << false << 0 << false << QByteArray("01010101\r\n");
    QTest::newRow("unreadable after a too old console")
        << QByteArray("01xx\r\n") << 30000 << 20000 << false << -20 << false
        << QByteArray("01010101\r\n");
    QTest::newRow("after a console in its loader") << QByteArray("01040000\r\n") << 30000 << 20000
                                                   << false << 0 << false << QByteArray("CCC\r\n");
}

void TestConsoleSequences::queryFlags()
{
    QFETCH(QByteArray, ve);
    QFETCH(int, verChanged);
    QFETCH(int, minVer);
    QFETCH(bool, tooOld);
    QFETCH(int, refusal);
    QFETCH(bool, changed);
    QFETCH(QByteArray, earlier);
    QStringList queries{QStringLiteral("SELECT 1")};
    QMetaObject::invokeMethod(worker, "copyQueriesSlot", Qt::QueuedConnection,
                              Q_ARG(QStringList*, &queries), Q_ARG(int, verChanged),
                              Q_ARG(int, minVer));
    if (!earlier.isEmpty()) {
        ScriptedConsole first;
        first.answer("VE\r\n", earlier);
        first.answer("SN\r\n", "SN\tEARLIER\r\n");
        connectWorker(first.path);
        QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
        QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("enableUpdateSignal"), 10000);
        QMetaObject::invokeMethod(worker, "serialDisconnect", Qt::BlockingQueuedConnection);
        QTest::qWait(100);
        log->clear();
    }
    console->answer("VE\r\n", ve);
    connectWorker();
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("enableUpdateSignal:true"), 10000);
    QTest::qWait(200);
    const QStringList got = events();
    QCOMPARE(got.last() == "verCompErrorSignal", tooOld);
    if (tooOld)
        QCOMPARE(got.at(got.size() - 2), QStringLiteral("enableUpdateSignal:true"));
    const YmodemTestAccess::QueryFlags flags = queryFlagsNow();
    QCOMPARE(flags.versionTooOld, tooOld);
    QCOMPARE(flags.settingsChanged, changed);
    QCOMPARE(flags.versionUnreadable, refusal == -20);
    QCOMPARE(flags.deviceSerial, QString()); // this console tells none
    QVERIFY(!flags.stillInLoader);
    QVERIFY(flags.preserveSettings);

    if (refusal == 0)
        return;
    // The flags decide the update: refused with nothing written.
    const QByteArray before = console->written();
    const QString image = tinyImage();
    log->clear();
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection, Q_ARG(QString, image));
    QTRY_VERIFY_WITH_TIMEOUT(!events().isEmpty(), 10000);
    QTest::qWait(300);
    QCOMPARE(events(), QStringList{QStringLiteral("yModemResult:%1").arg(refusal)});
    QCOMPARE(console->written(), before);

    // Rescue, which keeps no users' data, still goes ahead.
    rescueCancelledAtImage(image);
}

void TestConsoleSequences::queryAfterUpdate_data()
{
    QTest::addColumn<QByteArray>("ve");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("loader") << QByteArray("CCCC")
                            << QStringList{"versionReady:", "yModemResult:-11"};
    QTest::newRow("three C are a version")
        << QByteArray("CCC\r\n")
        << QStringList{"versionReady:vCC.C .  ..2.3", "nameReady:Y",      "monitorID:X",
                       "articleReady:ART-9",          "serialReady:A123", "yModemResult:-11"};
    QTest::newRow("application") << QByteArray("01020500\r\n")
                                 << QStringList{"versionReady:v01.02.05.00.2.3",
                                                "nameReady:Y",
                                                "monitorID:X",
                                                "articleReady:ART-9",
                                                "serialReady:A123",
                                                "yModemResult:-11"};
}

void TestConsoleSequences::queryAfterUpdate()
{
    QFETCH(QByteArray, ve);
    QFETCH(QStringList, expected);
    console->answer("VE\r\n", ve);
    console->answer("BV\r\n", "1.2.3\r\n");
    console->answer("KI\r\n", "X\tY\r\n");
    console->answer("CA\r\n", "ART-9\r\n");
    console->answer("SN\r\n", "SN\tA123\r\n");
    connectWorker();
    QMetaObject::invokeMethod(worker, "getUpdatedFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("yModemResult:-11"), 10000);
    QTest::qWait(100);
    QCOMPARE(events(), expected);
}

void TestConsoleSequences::queriesWithoutPort()
{
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QMetaObject::invokeMethod(worker, "getUpdatedFirmwareVersion", Qt::QueuedConnection);
    QMetaObject::invokeMethod(worker, "deviceRenameBLE_File", Qt::QueuedConnection);
    // The three calls run one after the other; a blocking call queued behind them ends after.
    QMetaObject::invokeMethod(worker, "ySaveUsersFile", Qt::BlockingQueuedConnection);
    QTest::qWait(50);
    QCOMPARE(events(), QStringList());
}

void TestConsoleSequences::tooOldWritesNothing()
{
    console->answer("VE\r\n", "01010101\r\n");
    connectWorker();
    QStringList queries{QStringLiteral("SELECT 1")};
    QMetaObject::invokeMethod(worker, "copyQueriesSlot", Qt::QueuedConnection,
                              Q_ARG(QStringList*, &queries), Q_ARG(int, 300000), Q_ARG(int, 20000));
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("verCompErrorSignal"), 10000);

    // Rescue asked for: the version check is skipped and the update goes ahead.
    rescueCancelledAtImage(tinyImage());
    QVERIFY(!events().contains("yModemResult:-14"));
}

void TestConsoleSequences::imageProblemsLeaveConsoleAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::newRow("missing") << "missing" << -8;
    QTest::newRow("unreadable") << "directory" << -9;
    // Nowhere private for the users' file: the console is not even asked for it.
    QTest::newRow("no private folder") << "no private folder" << -22;
}

void TestConsoleSequences::imageProblemsLeaveConsoleAlone()
{
    QFETCH(QString, kind);
    QFETCH(int, code);
    QString path = tmp->filePath("fw.iso");
    if (kind == "directory")
        QVERIFY(QDir().mkpath(path));
    struct RestoreTmpdir {
        QByteArray value = qgetenv("TMPDIR");
        ~RestoreTmpdir() { qputenv("TMPDIR", value); }
    } restoreTmpdir;
    if (kind == "no private folder") {
        QFile image(path);
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write("x");
        qputenv("TMPDIR", tmp->filePath("no/such/folder").toLocal8Bit());
    }
    connectWorker();
    // Without users' data no private folder is needed.
    const QList<bool> modes =
        kind == "no private folder" ? QList<bool>{true} : QList<bool>{true, false};
    for (bool preserve : modes) {
        log->clear();
        QMetaObject::invokeMethod(worker, "preserveSettingsModeSlot", Qt::QueuedConnection,
                                  Q_ARG(bool, preserve));
        QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection, Q_ARG(QString, path));
        QTRY_VERIFY_WITH_TIMEOUT(!events().isEmpty(), 10000);
        QTest::qWait(200);
        // Nothing reached the console; the port stays open unless the update had begun.
        QStringList expected{QStringLiteral("yModemResult:%1").arg(code)};
        if (code == -22)
            expected << QStringLiteral("serialConnected:-2");
        QCOMPARE(events(), expected);
        QCOMPARE(console->written(), QByteArray());
    }
}

void TestConsoleSequences::rescueSkipsUsersData()
{
    console->answer("SHELL\r\n", "shell> ");
    const QString image = tinyImage();
    connectWorker();
    QMetaObject::invokeMethod(worker, "preserveSettingsModeSlot", Qt::QueuedConnection,
                              Q_ARG(bool, false));
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection, Q_ARG(QString, image));
    QTRY_VERIFY_WITH_TIMEOUT(console->written().contains("reset\r\n"), 10000);
    QCOMPARE(console->written(), QByteArray("SHELL\r\n\r\n\r\nspi delsect 4095\r\nreset\r\n"));
    sendWhenLoading(QByteArray("\x18\x18", 2));
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("yModemResult:-3"), 20000);
    QVERIFY(!events().contains("readUserDataDone"));
    QVERIFY(!events().contains("serialConnected:-2"));
}

void TestConsoleSequences::syncLoop_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("ackWritten");
    // "once": the bytes are sent once; "trickle": every 100 ms until the end; "hang-up": the
    // bytes, then the cable is pulled.
    QTest::addColumn<QString>("how");
    // CAN followed by something else is not a cancel; the CAN CAN after it is.
    QTest::newRow("cancel") << QByteArray("\x18"
                                          "A"
                                          "\x18\x18",
                                          4)
                            << -3 << true << "once";
    // Nothing at all: the wait is bounded.
    QTest::newRow("silence") << QByteArray() << -15 << false << "once";
    // A stray byte now and then must not keep the wait alive for ever.
    QTest::newRow("stray byte every 100 ms") << QByteArray("x") << -15 << false << "trickle";
    // The port reports the line gone: that is no request to send.
    QTest::newRow("cable pulled") << QByteArray() << -15 << false << "hang-up";
    // Ten other bytes in a row end the wait and the send starts, as a console expects; nobody
    // acknowledges its header.
    QTest::newRow("ten other bytes") << QByteArray(10, 'x') << 13 << false << "once";
}

void TestConsoleSequences::syncLoop()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, code);
    QFETCH(bool, ackWritten);
    QFETCH(QString, how);
    struct RestoreScale {
        double factor = TimeScale::factor();
        ~RestoreScale() { TimeScale::setFactor(factor); }
    } restoreScale;
    QFile file(tmp->filePath("BrenvikDATA"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("users");
    file.close();
    console->answer("SN\r\n", "SN\tA1\r\n");
    connectWorker();
    call([this] { worker->setExpectedSerial(QStringLiteral("A1")); });
    QMetaObject::invokeMethod(worker, "yTransmitUserSettings", Qt::QueuedConnection,
                              Q_ARG(QString, file.fileName()));
    QTRY_VERIFY_WITH_TIMEOUT(console->written().contains("receive file\r\n"), 10000);
    // The sync bound becomes about a second. Set only now: the serial number's reply wait, at
    // that scale a few milliseconds, would fail on a loaded machine.
    TimeScale::setFactor(0.02);
    sendWhenLoading(bytes);
    const QString result = QStringLiteral("yModemResult:%1").arg(code);
    QElapsedTimer waited;
    waited.start();
    if (how == "trickle") {
        while (!events().join(' ').contains("yModemResult") && waited.elapsed() < 20000) {
            QTest::qWait(100);
            console->send(bytes);
        }
    } else if (how == "hang-up") {
        console->hangUp();
    }
    QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("yModemResult"), 20000);
    QVERIFY2(events().contains(result), qPrintable(events().join(' ')));
    // The bound is 60 s scaled (1.2 s); a pulled cable is seen at once.
    QVERIFY2(waited.elapsed() < (how == "hang-up"   ? 1000
                                 : how == "trickle" ? 5000
                                                    : 10000),
             qPrintable(QString::number(waited.elapsed())));
    // The result can reach us before the console's reader has taken the ACK off the line.
    if (ackWritten) {
        QTRY_VERIFY_WITH_TIMEOUT(console->written().endsWith('\x06'), 5000);
    } else {
        QTest::qWait(100);
        QVERIFY(!console->written().endsWith('\x06'));
    }
    QVERIFY(!events().contains("serialConnected:-2"));
}

void TestConsoleSequences::updateKeepsUsersData_data()
{
    QTest::addColumn<QStringList>("statements");
    QTest::addColumn<bool>("newPath");   // the console comes back from "reset" as a new device
    QTest::addColumn<QString>("finder"); // "none", "ports" or "ports and a stranger"
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("failed");
    QTest::addColumn<bool>("erased");

    const QStringList none;
    QTest::newRow("statement fails, the others apply")
        << QStringList{"CREATE TABLE m (a)", "INSERT INTO no_such_table VALUES (1)",
                       "INSERT INTO m VALUES (7)"}
        << false << "none" << 0
        << QStringList{"Step 2: INSERT INTO no_such_table VALUES (1): no such table: no_such_table"}
        << true;
    QTest::newRow("back under a new path") << none << true << "ports" << 0 << none << true;
    // The console is in its loader then: a rescue update brings it back; nothing is guessed.
    QTest::newRow("new path, no port list") << none << true << "none" << -21 << none << true;
    QTest::newRow("new path and a stranger")
        << none << true << "ports and a stranger" << -21 << none << true;
    // The statements run on a copy that must still be sound before the console is erased.
    QTest::newRow("migration breaks the file")
        << QStringList{"CREATE TABLE t (a)",
                       "INSERT INTO t VALUES (1)",
                       "INSERT INTO t VALUES (2)",
                       "CREATE INDEX ti ON t (a)",
                       "PRAGMA writable_schema = ON",
                       "UPDATE sqlite_master SET sql = 'CREATE INDEX ti ON t (a DESC)' "
                       "WHERE name = 'ti'"}
        << false << "none" << -19 << none << false;
}

void TestConsoleSequences::updateKeepsUsersData()
{
    QFETCH(QStringList, statements);
    QFETCH(bool, newPath);
    QFETCH(QString, finder);
    QFETCH(int, code);
    QFETCH(QStringList, failed);
    QFETCH(bool, erased);

    SimOptions options;
    options.dir = tmp->filePath("console");
    options.timeScale = TimeScale::factor();
    options.resetDropsLine = true;
    options.flashReplacesFiles = true;
    const QString devices = tmp->filePath("dev");
    if (newPath)
        options.linkDir = devices;
    else
        options.link = tmp->filePath("ttyCONSOLE");
    SimConsole sim(options);
    QString why;
    QVERIFY2(sim.start(&why), qPrintable(why));
    QFile usersFile(sim.filePath("/BrenvikDATA"));
    QVERIFY(usersFile.open(QIODevice::ReadOnly));
    const QByteArray original = usersFile.readAll();
    usersFile.close();
    QVERIFY(!original.isEmpty());

    // What the system's port list would show: the console's current links, and maybe a port
    // that appears at the same time.
    if (finder != "none") {
        const bool stranger = finder == "ports and a stranger";
        call([this, devices, stranger] {
            auto calls = std::make_shared<int>(0);
            worker->setPortFinder([devices, stranger, calls] {
                QStringList ports;
                for (const QFileInfo& f : QDir(devices).entryInfoList(QDir::System | QDir::Files))
                    ports << f.filePath();
                // The first look is taken before the reset; the stranger comes after it.
                if (stranger && ++*calls > 1)
                    ports << QStringLiteral("/dev/ttyACM-stranger");
                return ports;
            });
        });
    }
    QMetaObject::invokeMethod(worker, "ySerialConnect", Qt::QueuedConnection,
                              Q_ARG(QString, sim.portPath()));
    QTRY_VERIFY_WITH_TIMEOUT(events().contains(QStringLiteral("serialConnected:0")), 10000);
    QMetaObject::invokeMethod(worker, "copyQueriesSlot", Qt::QueuedConnection,
                              Q_ARG(QStringList*, &statements), Q_ARG(int, 300000), Q_ARG(int, 0));
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("enableUpdateSignal:true"), 10000);

    log->clear();
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection,
                              Q_ARG(QString, image(QByteArray(3000, 'i'))));
    QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("yModemResult"), 60000);
    // Whatever the outcome, the window learns that the port is closed.
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("serialConnected:-2"), 5000);
    const QStringList got = events();
    QVERIFY2(got.contains(QStringLiteral("yModemResult:%1").arg(code)), qPrintable(got.join(' ')));

    // The statements' report came before the console was touched, with the file as received.
    QCOMPARE(failedStatements, failed);
    QFile kept(originalCopy);
    QVERIFY2(kept.open(QIODevice::ReadOnly), qPrintable(originalCopy));
    QCOMPARE(kept.readAll(), original);
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFileInfo(originalCopy).permissions() & others, QFileDevice::Permissions());
    QCOMPARE(QFileInfo(QFileInfo(originalCopy).path()).permissions() & others,
             QFileDevice::Permissions());

    QCOMPARE(sim.resetCount() > 0, erased);
    if (!erased) {
        // Only the received file was named; no migrated copy was offered for the restore.
        for (const auto& e : *log)
            if (e.first == "putUserSettingPath")
                QVERIFY(!UsersDataStore::isKeptCopy(e.second.toString()));
        usersFile.setFileName(sim.filePath("/BrenvikDATA"));
        QVERIFY(usersFile.open(QIODevice::ReadOnly));
        QCOMPARE(usersFile.readAll(), original);
        return;
    }
    // The migrated copy is what goes back.
    QString migrated;
    for (const auto& e : *log)
        if (e.first == "putUserSettingPath")
            migrated = e.second.toString();
    QVERIFY(UsersDataStore::isKeptCopy(migrated));
    if (statements.size() == 3) {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "migrated");
        db.setDatabaseName(migrated);
        QVERIFY(db.open());
        {
            QSqlQuery q("SELECT a FROM m", db);
            QVERIFY(q.next());
            QCOMPARE(q.value(0).toInt(), 7);
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("migrated");
    }
}

void TestConsoleSequences::restoreRefusesBadFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expectedSerial");
    QTest::addColumn<QByteArray>("snReply");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("told"); // a line of its own on the debug console
    const QByteArray leave("\r\nexit\r\n");
    QTest::newRow("missing") << "missing"
                             << "A1" << QByteArray() << -12 << leave
                             << QByteArray("User Settings File Not Found.");
    QTest::newRow("empty") << "empty"
                           << "A1" << QByteArray() << -12 << leave
                           << QByteArray("User Settings File Empty.");
    QTest::newRow("unreadable") << "directory"
                                << "A1" << QByteArray() << -12 << leave
                                << QByteArray("User Settings File Open Error.");
    QTest::newRow("no path") << "none"
                             << "A1" << QByteArray() << -12 << leave
                             << QByteArray("User Settings File Not Found.");
    // A database still open elsewhere: part of it may sit in its journal.
    QTest::newRow("journal beside") << "journal"
                                    << "A1" << QByteArray() << -12 << leave
                                    << QByteArray("User Settings File still open (journal beside "
                                                  "it).");
    // The console's own users' file is removed only on the console they came from.
    const QByteArray askOnly("SN\r\n");
    QTest::newRow("other console")
        << "good"
        << "A1" << QByteArray("SN\tB2\tE7\r\n") << -18 << askOnly << QByteArray();
    QTest::newRow("serial unreadable")
        << "good"
        << "A1" << QByteArray("SN?\r\n") << -18 << askOnly << QByteArray();
    QTest::newRow("no serial known")
        << "good"
        << "" << QByteArray("SN\tA1\r\n") << -18 << askOnly << QByteArray();
}

void TestConsoleSequences::restoreRefusesBadFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, expectedSerial);
    QFETCH(QByteArray, snReply);
    QFETCH(int, code);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, told);
    QString path = tmp->filePath("BrenvikDATA");
    if (kind == "empty") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else if (kind == "directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "none") {
        path.clear();
    } else if (kind == "journal" || kind == "good") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("users");
        if (kind == "journal") {
            QFile j(path + "-journal");
            QVERIFY(j.open(QIODevice::WriteOnly));
            j.write("pages");
        }
    }
    if (!snReply.isEmpty())
        console->answer("SN\r\n", snReply);
    connectWorker();
    call([this, expectedSerial] { worker->setExpectedSerial(expectedSerial); });
    StdoutToFile trace;
    QMetaObject::invokeMethod(worker, "yTransmitUserSettings", Qt::QueuedConnection,
                              Q_ARG(QString, path));
    QTRY_VERIFY_WITH_TIMEOUT(events().size() >= 2, 10000);
    QTest::qWait(200);
    if (!told.isEmpty()) {
        const QByteArray text = trace.contents();
        QVERIFY2(text.split('\n').contains(told + '\r'), text.constData());
    }
    // Not a success: the console's own users' file is never touched.
    QCOMPARE(events(),
             (QStringList{"serialConnected:-2", QStringLiteral("yModemResult:%1").arg(code)}));
    QCOMPARE(console->written(), written);
}

void TestConsoleSequences::updateStopsOnRequest_data()
{
    QTest::addColumn<QString>("stopAt"); // the status line at which the stop is asked for
    QTest::addColumn<bool>("erased");
    QTest::addColumn<int>("code");
    // Asked for while the users' data come off: the update stops once they are kept, before
    // the loader entry; the console keeps running its application, its data untouched.
    QTest::newRow("before the loader entry") << "Saving User Data... Please Wait" << false << -23;
    // Asked for during the loader entry: the update stops before the image; the console waits
    // in its loader.
    QTest::newRow("after the loader entry") << "Connecting Device... " << true << -26;
}

void TestConsoleSequences::updateStopsOnRequest()
{
    QFETCH(QString, stopAt);
    QFETCH(bool, erased);
    QFETCH(int, code);
    SimConsole sim(simOptions());
    QString why;
    QVERIFY2(sim.start(&why), qPrintable(why));
    const QByteArray original = readAll(sim.filePath("/BrenvikDATA"));
    QVERIFY(!original.isEmpty());

    connectWorker(sim.portPath());
    QMetaObject::invokeMethod(worker, "yTransmitGetFirmwareVersion", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("enableUpdateSignal:true"), 10000);
    log->clear();
    worker->requestStop(false);
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection,
                              Q_ARG(QString, image(QByteArray(3000, 'i'))));
    QTRY_VERIFY_WITH_TIMEOUT(statuses.contains(stopAt), 30000);
    // Straight from this thread while the worker is inside the sequence, as the window does.
    worker->requestStop(true);
    QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("yModemResult"), 60000);
    QTest::qWait(300);
    const QStringList got = events();
    QCOMPARE(got.filter("yModemResult"), QStringList{QStringLiteral("yModemResult:%1").arg(code)});
    QVERIFY2(got.contains("serialConnected:-2"), qPrintable(got.join(' ')));

    const QJsonObject state = sim.status();
    QCOMPARE(state.value(QStringLiteral("sectorErased")).toBool(), erased);
    QCOMPARE(sim.resetCount() > 0, erased);
    QCOMPARE(state.value(QStringLiteral("imagesProgrammed")).toInt(), 0);
    if (erased)
        QCOMPARE(SimConsole::stateName(sim.state()),
                 SimConsole::stateName(SimConsole::State::Loader));
    else
        QCOMPARE(readAll(sim.filePath("/BrenvikDATA")), original);

    // The users' data are kept; nothing of them is left in the temporary folder.
    QString kept;
    for (const auto& e : *log) {
        if (e.first != "putUserSettingPath")
            continue;
        const QString path = e.second.toString();
        if (UsersDataStore::isKeptCopy(path))
            kept = path;
        else
            QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
    }
    QVERIFY(!kept.isEmpty());
    QVERIFY(!readAll(kept).isEmpty());
    QCOMPARE(readAll(originalCopy), original);
    QString own;
    QMetaObject::invokeMethod(
        worker, [&] { own = YmodemTestAccess::ownReceiveFolder(*worker); },
        Qt::BlockingQueuedConnection);
    QCOMPARE(QDir(own).entryList(QDir::Files | QDir::Hidden), QStringList());
    worker->requestStop(false);
}

void TestConsoleSequences::saveRefusesOtherFile_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("size"); // the header's size; empty: the file's own
    QTest::addColumn<bool>("extraBlock"); // one more block after the file
    // The users' data must be the file asked for.
    QTest::newRow("another file") << QByteArray("other.db") << QByteArray() << false;
    QTest::newRow("announced larger than the cap")
        << QByteArray("BrenvikDATA") << QByteArray("67108865") << false;
    QTest::newRow("a block beyond the announced size")
        << QByteArray("BrenvikDATA") << QByteArray() << true;
}

void TestConsoleSequences::saveRefusesOtherFile()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, size);
    QFETCH(bool, extraBlock);
    const QByteArray database = usersDatabase();
    QVERIFY(database.size() > 0 && database.size() % 1024 == 0);
    QList<QByteArray> packets;
    packets << headerPacket(name + '\0' +
                            (size.isEmpty() ? QByteArray::number(database.size()) : size));
    int number = 1;
    for (int at = 0; at < database.size(); at += 1024)
        packets << packet(number++, database.mid(at, 1024), 1024);
    if (extraBlock)
        packets << packet(number, QByteArray(1024, 'x'), 1024);
    packets << QByteArray(1, char(0x04)) << headerPacket(QByteArray());
    console->sendFileOnRequest(packets);
    console->answer("SN\r\n", "SN\tA1\r\n");
    connectWorker();
    QMetaObject::invokeMethod(worker, "yTransmit", Qt::QueuedConnection,
                              Q_ARG(QString, tinyImage()));
    QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("yModemResult"), 30000);
    QTest::qWait(200);
    QStringList got;
    for (const QString& e : events())
        if (!e.startsWith("putUserSettingPath") && !e.startsWith("serialReady"))
            got << e;
    // Refused before anything on the console changed: no loader entry.
    QCOMPARE(got, (QStringList{"readUserDataDone", "yModemResult:-12", "serialConnected:-2"}));
    QVERIFY(console->written().contains("send file /BrenvikDATA"));
    QVERIFY(!console->written().contains("spi"));
    QVERIFY(!console->written().contains("reset"));
    // Nothing of it stays where it was received.
    for (const auto& e : *log)
        if (e.first == "putUserSettingPath")
            QVERIFY2(!QFileInfo::exists(e.second.toString()), qPrintable(e.second.toString()));
}

void TestConsoleSequences::restoreKeepsConsoleCopy_data()
{
    QTest::addColumn<bool>("consoleHasFile");
    QTest::addColumn<bool>("storeFails"); // the data folder cannot take the copy
    QTest::addColumn<int>("code");
    QTest::newRow("the console has its users' data") << true << false << -10;
    // Nothing to lose: the restore goes on, without a long wait.
    QTest::newRow("the console has no users' file") << false << false << -10;
    // Nothing is removed from a console whose file could not be kept.
    QTest::newRow("the copy cannot be kept") << true << true << -16;
}

void TestConsoleSequences::restoreKeepsConsoleCopy()
{
    QFETCH(bool, consoleHasFile);
    QFETCH(bool, storeFails);
    QFETCH(int, code);
    SimOptions options = simOptions();
    options.usersDb = consoleHasFile ? SimOptions::UsersDb::Normal : SimOptions::UsersDb::None;
    SimConsole sim(options);
    QString why;
    QVERIFY2(sim.start(&why), qPrintable(why));
    const QByteArray before = readAll(sim.filePath("/BrenvikDATA"));
    QCOMPARE(before.isEmpty(), !consoleHasFile);

    QVERIFY(QDir().mkpath(tmp->filePath("kept")));
    const QString restored = tmp->filePath("kept/BrenvikDATA");
    const QByteArray contents = usersDatabase();
    {
        QFile f(restored);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(contents);
    }

    // A plain file where the data folder should be: no folder can be made there.
    std::unique_ptr<ScopedEnv> home;
    if (storeFails) {
        home.reset(new ScopedEnv("XDG_DATA_HOME", tmp->filePath("home").toLocal8Bit()));
        const QString folder = UsersDataStore::folder();
        QVERIFY(QDir().mkpath(QFileInfo(folder).path()));
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }

    QStringList keptCopies;
    QObject receiver; // the connection ends with this test
    connect(worker->notices(), &UsersDataNotices::consoleCopyKept, &receiver,
            [&keptCopies](QString path) { keptCopies << path; });
    connectWorker(sim.portPath());
    const QString serial = options.serialNumber();
    call([this, serial] { worker->setExpectedSerial(serial); });
    QMetaObject::invokeMethod(worker, "setKeepConsoleCopy", Qt::QueuedConnection,
                              Q_ARG(bool, true));
    QElapsedTimer took;
    took.start();
    QMetaObject::invokeMethod(worker, "yTransmitUserSettings", Qt::QueuedConnection,
                              Q_ARG(QString, restored));
    QTRY_VERIFY_WITH_TIMEOUT(events().join(' ').contains("yModemResult"), 60000);
    const qint64 elapsed = took.elapsed();
    QTest::qWait(200);
    const QStringList got = events();
    QCOMPARE(got.filter("yModemResult"), QStringList{QStringLiteral("yModemResult:%1").arg(code)});
    // The fetched file is never offered as the one to restore.
    QCOMPARE(got.filter("putUserSettingPath"), QStringList());

    const QString consoleLog = QString::fromUtf8(readAll(options.dir + "/console.log"));
    QVERIFY2(consoleLog.contains("send file /BrenvikDATA"), qPrintable(consoleLog));
    if (consoleHasFile && !storeFails) {
        // Byte for byte what the console held before "rm", kept for the record only.
        QCOMPARE(keptCopies.size(), 1);
        QVERIFY(UsersDataStore::isKeptCopy(keptCopies.first()));
        QVERIFY(UsersDataStore::isOriginalCopy(keptCopies.first()));
        QCOMPARE(readAll(keptCopies.first()), before);
    } else {
        QCOMPARE(keptCopies, QStringList());
    }
    if (code == -10) {
        QVERIFY(consoleLog.contains("shell: rm /BrenvikDATA"));
        QCOMPARE(readAll(sim.filePath("/BrenvikDATA")), contents);
    } else {
        QVERIFY2(!consoleLog.contains("shell: rm"), qPrintable(consoleLog));
        QCOMPARE(readAll(sim.filePath("/BrenvikDATA")), before);
        QVERIFY(got.contains("serialConnected:-2"));
    }
    // A console without the file costs no receive wait (60 s scaled).
    QVERIFY2(elapsed < TimeScale::ms(60000), qPrintable(QString::number(elapsed)));

    // The request is consumed by the call; the temporary copy is gone.
    bool keepLeft = true;
    QString own;
    QMetaObject::invokeMethod(
        worker,
        [&] {
            keepLeft = YmodemTestAccess::keepConsoleCopy(*worker);
            own = YmodemTestAccess::ownReceiveFolder(*worker);
        },
        Qt::BlockingQueuedConnection);
    QVERIFY(!keepLeft);
    QCOMPARE(QDir(own).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestConsoleSequences::renameWithoutPort()
{
    QMetaObject::invokeMethod(worker, "deviceRenameBLE_File", Qt::QueuedConnection);
    QMetaObject::invokeMethod(worker, "ySaveUsersFile", Qt::BlockingQueuedConnection);
    QTest::qWait(50);
    QCOMPARE(events(), QStringList());
}

void TestConsoleSequences::renameAndReset()
{
    console->send("stale bytes\r\n");
    QTest::qWait(100);
    connectWorker();
    QMetaObject::invokeMethod(worker, "deviceRenameBLE_File", Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(events().contains("shutdownDelayedSignal"), 10000);
    QCOMPARE(events(), (QStringList{"serialConnected:-2", "shutdownDelayedSignal"}));
    QTRY_COMPARE_WITH_TIMEOUT(
        console->written(),
        QByteArray("SHELL\r\nmv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\nreset\r\n"), 5000);
}

QTEST_GUILESS_MAIN(TestConsoleSequences)
#include "tst_consolesequences.moc"
