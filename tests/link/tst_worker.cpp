// The worker without a line: its interface, defaults and small slots.
#include "ymodem.h"
#include "ymodemtestaccess.h"

#include <QMetaMethod>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>

// Stands in for the main window's side of the connections that carry the migration list.
class QuerySource : public QObject
{
    Q_OBJECT
signals:
    void copyQueriesSignal(QStringList* queries, int verChanged, int minVerChanged);
};

class TestWorker : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectOrder();
    void initialState();
    void copyQueries_data();
    void copyQueries();
    void copyQueriesQueuedAcrossThreads();
    void preserveSettingsMode_data();
    void preserveSettingsMode();
    void statusTimerSendsChangedLine();
    void initThreadEndsOnStopExecution();
};

void TestWorker::metaObjectOrder()
{
    const QStringList expected = {
        // signals 0-16
        "packet(int,int)", "progress(int)", "message(QString)", "finished()",
        "serialConnected(int)", "yModemResult(int)", "versionReady(QString)",
        "serialReady(QString)", "articleReady(QString)", "nameReady(QString)", "monitorID(QString)",
        "readUserDataDone()", "setFirmwareUploadStatus(QString)", "putUserSettingPath(QString)",
        "enableUpdateSignal(bool)", "shutdownDelayedSignal()", "verCompErrorSignal()",
        // slots 17-30, timerSlot private
        "ySerialConnect(QString)", "yTransmit(QString)", "yTransmitUserSettings(QString)",
        "ySaveUsersFile()", "onReadyRead()", "yTransmitGetFirmwareVersion()",
        "deviceRenameBLE_File()", "serialDisconnect()", "stopExecution()", "initThread()",
        "preserveSettingsModeSlot(bool)", "getUpdatedFirmwareVersion()",
        "copyQueriesSlot(QStringList*,int,int)", "timerSlot()",
        // added after the listed ones, so that every listed index holds
        "setExpectedSerial(QString)", "setKeepConsoleCopy(bool)"};

    const QMetaObject& mo = YMODEM::staticMetaObject;
    QCOMPARE(QString(mo.className()), QString("YMODEM"));
    QCOMPARE(mo.superClass(), &QObject::staticMetaObject);
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(QString::fromLatin1(m.methodSignature()), expected.at(i));
        QCOMPARE(m.methodType(), i < 17 ? QMetaMethod::Signal : QMetaMethod::Slot);
        if (i >= 17)
            QCOMPARE(m.access(), i == 30 ? QMetaMethod::Private : QMetaMethod::Public);
    }
}

void TestWorker::initialState()
{
    YMODEM w;
    QCOMPARE(w.serialPort(), nullptr);
    QVERIFY(YmodemTestAccess::preserveSettings(w));
    QVERIFY(!YmodemTestAccess::rescueRequested(w));
    QCOMPARE(YmodemTestAccess::verChanged(w), 300000);
    QCOMPARE(YmodemTestAccess::minVerChanged(w), 0);
    QCOMPARE(YmodemTestAccess::rxCount(w), 0);
    QCOMPARE(YmodemTestAccess::rxCapture(w), 0);
    QVERIFY(YmodemTestAccess::queryList(w).isEmpty());
    QTimer* timer = YmodemTestAccess::statusTimer(w);
    QVERIFY(timer);
    QCOMPARE(timer->parent(), &w);
    QCOMPARE(timer->interval(), 20);
    QVERIFY(timer->isActive());
}

void TestWorker::copyQueries_data()
{
    QTest::addColumn<QStringList>("first");
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("verChanged");
    QTest::addColumn<int>("minVerChanged");

    // A release without statements still brings its limits: the "too old" check must hold.
    QTest::newRow("empty list takes the limits only")
        << QStringList() << QStringList() << QStringList() << 999999 << 999;
    QTest::newRow("three statements in order, then limits alone")
        << QStringList{"a", "b", "c"} << QStringList() << QStringList{"a", "b", "c"} << 999999
        << 999;
    QTest::newRow("second list goes in front")
        << QStringList{"a", "b", "c"} << QStringList{"d", "e"}
        << QStringList{"d", "e", "a", "b", "c"} << 302000 << 210000;
}

void TestWorker::copyQueries()
{
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(QStringList, expected);
    QFETCH(int, verChanged);
    QFETCH(int, minVerChanged);

    YMODEM w;
    w.copyQueriesSlot(&first, 301000, 200000);
    w.copyQueriesSlot(&second, second.isEmpty() ? 999999 : 302000, second.isEmpty() ? 999 : 210000);
    QCOMPARE(YmodemTestAccess::queryList(w), expected);
    QCOMPARE(YmodemTestAccess::verChanged(w), verChanged);
    QCOMPARE(YmodemTestAccess::minVerChanged(w), minVerChanged);

    w.copyQueriesSlot(nullptr, 1, 1);
    QCOMPARE(YmodemTestAccess::queryList(w), expected);
}

void TestWorker::copyQueriesQueuedAcrossThreads()
{
    QThread thread;
    auto* w = new YMODEM;
    w->moveToThread(&thread);
    thread.start();

    QuerySource source;
    QVERIFY(QObject::connect(&source, SIGNAL(copyQueriesSignal(QStringList*, int, int)), w,
                             SLOT(copyQueriesSlot(QStringList*, int, int))));
    QStringList statements{"ALTER TABLE t ADD c", "UPDATE t SET c = 1"};
    emit source.copyQueriesSignal(&statements, 310000, 250000);

    QTRY_COMPARE(YmodemTestAccess::verChanged(*w), 310000);
    QCOMPARE(YmodemTestAccess::minVerChanged(*w), 250000);
    QCOMPARE(YmodemTestAccess::queryList(*w), statements);

    QVERIFY(w->stopThread());
    delete w;
}

void TestWorker::preserveSettingsMode_data()
{
    QTest::addColumn<bool>("value");
    QTest::newRow("rescue mode") << false;
    QTest::newRow("keep settings") << true;
}

void TestWorker::preserveSettingsMode()
{
    QFETCH(bool, value);
    YMODEM w;
    // Start from the opposite state so that both members really change.
    w.preserveSettingsModeSlot(!value);
    w.preserveSettingsModeSlot(value);
    QCOMPARE(YmodemTestAccess::preserveSettings(w), value);
    QCOMPARE(YmodemTestAccess::rescueRequested(w), !value);
}

void TestWorker::statusTimerSendsChangedLine()
{
    QThread thread;
    auto* w = new YMODEM;
    w->moveToThread(&thread);
    QSignalSpy spy(w, SIGNAL(setFirmwareUploadStatus(QString)));
    thread.start();

    QTRY_VERIFY(spy.count() >= 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString());

    QMetaObject::invokeMethod(
        w, [w] { YmodemTestAccess::setStatus(*w, "Sending firmware"); },
        Qt::BlockingQueuedConnection);
    QTRY_COMPARE(spy.last().at(0).toString(), QString("Sending firmware"));
    // The line is sent when it changes, not fifty times a second while nothing happens.
    QTest::qWait(200);
    const int settled = spy.count();
    QTest::qWait(200);
    QCOMPARE(spy.count(), settled);
    QCOMPARE(spy.last().at(0).toString(), QString("Sending firmware"));

    QVERIFY(w->stopThread());
    delete w;
}

void TestWorker::initThreadEndsOnStopExecution()
{
    QThread thread;
    auto* w = new YMODEM;
    w->moveToThread(&thread);
    thread.start();

    QMetaObject::invokeMethod(w, "initThread", Qt::QueuedConnection);
    QTRY_VERIFY(YmodemTestAccess::runFlag(*w));
    // While initThread sleeps no queued call is served; a direct call ends it.
    std::atomic<bool> served{false};
    QMetaObject::invokeMethod(
        w, [&served] { served = true; }, Qt::QueuedConnection);
    QTest::qWait(100);
    QVERIFY(!served);
    w->stopExecution();
    QTRY_VERIFY(served);

    QVERIFY(w->stopThread());
    delete w;
}

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
