// One whole normal update at the real timing: every fixed wait of the updater (the 6 s restart,
// the 50 s re-flash wait, the 5 s closing delay) as the console will meet them.
#include "updatescenario.h"

#include <QFile>
#include <QtTest>

class TestE2eRealTiming : public QObject
{
    Q_OBJECT

private slots:
    void normalUpdate();
};

void TestE2eRealTiming::normalUpdate()
{
    UpdateScenario s(1.0);
    QElapsedTimer clock;
    clock.start();
    QString why;
    QVERIFY2(s.run(220000, &why), qPrintable(why + "\n" + s.simLog()));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    QCOMPARE(s.boxes.size(), 1);
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 1);
    QCOMPARE(s.console.value("version").toString(), s.sim.newVersion);
    QVERIFY(s.console.value("renamedModulePresent").toBool());
    QCOMPARE(s.keptCopies.size(), 1);
    QFile restored(s.consoleFile("/BrenvikDATA"));
    QFile kept(s.keptCopies.first());
    QVERIFY(restored.open(QIODevice::ReadOnly) && kept.open(QIODevice::ReadOnly));
    QCOMPARE(restored.readAll(), kept.readAll());
    // The fixed waits alone add up to more than a minute: nothing was shortened.
    QVERIFY(clock.elapsed() > 60000);
}

QTEST_MAIN(TestE2eRealTiming)
#include "tst_e2e_realtiming.moc"
