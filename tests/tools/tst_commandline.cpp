// --help and --version of every program: exit status 0, the answer on standard output, and
// given before a window or a device is touched (no display is offered, so a program that made
// its application object first would abort).
#include <QProcess>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void standardOptions_data();
    void standardOptions();
};

void TestCommandLine::standardOptions_data()
{
    QTest::addColumn<QString>("program"); // inside the build folder

    QTest::newRow("updater") << "app/brenvik-updater";
    QTest::newRow("ymodem-send") << "tools/ymodem-send";
    QTest::newRow("ymodem-receive") << "tools/ymodem-receive";
}

void TestCommandLine::standardOptions()
{
    QFETCH(QString, program);
    const QString path = qEnvironmentVariable("UPDATER_BUILD_DIR") + QLatin1Char('/') + program;
    QVERIFY2(QFile::exists(path), qPrintable(path + " not built"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));

    QByteArray answers[2];
    const char* const options[2] = {"--help", "--version"};
    for (int i = 0; i < 2; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(path, {QLatin1String(options[i])});
        QVERIFY2(p.waitForFinished(10000), options[i]);
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(p.readAllStandardError(), QByteArray());
        answers[i] = p.readAllStandardOutput();
        QVERIFY2(!answers[i].isEmpty(), options[i]);
    }
    QVERIFY(answers[0] != answers[1]);
    QVERIFY(answers[1].contains(PROJECT_VERSION_TEXT));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
