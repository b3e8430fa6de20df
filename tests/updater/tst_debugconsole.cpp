#include "debugconsole.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "mainwindowtestaccess.h"
#include "stdouttofile.h"
#include "testpackage.h"

#include <QtTest>

#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

class TestDebugConsole : public QObject
{
    Q_OBJECT

private slots:
    void keepsAtMostMaxLines();
    void stopsShowingWhenStopped();
    void showsOtherThreads();
    void windowOpensWithSummary();
    void closingRequestWithoutConsole();
    void userClosesTheWindow();
};

void TestDebugConsole::keepsAtMostMaxLines()
{
    StdoutToFile redirect;
    DebugConsole console;
    QVERIFY(console.startCapture());
    const int total = DebugConsole::MaxLines + 51;
    for (int i = 0; i < total; ++i)
        std::printf("line %d\r\n", i);
    std::fflush(stdout);

    QTRY_VERIFY_WITH_TIMEOUT(console.text().endsWith(QStringLiteral("line %1").arg(total - 1)),
                             20000);
    QCOMPARE(console.lineCount(), DebugConsole::MaxLines);
    QVERIFY(console.text().startsWith(QStringLiteral("line 51\n")));
    console.stopCapture();
    // Every line also went where standard output went before.
    QCOMPARE(redirect.contents().count("\r\n"), total);
}

void TestDebugConsole::stopsShowingWhenStopped()
{
    StdoutToFile redirect;
    DebugConsole console;
    std::printf("before\r\n");
    QVERIFY(console.startCapture());
    std::printf("while open\r\n");
    std::fflush(stdout);
    QTRY_COMPARE(console.lineCount(), 1);
    console.stopCapture();
    std::printf("after\r\n");
    std::fflush(stdout);
    QTest::qWait(100);
    QCOMPARE(console.text(), QStringLiteral("while open"));
    QCOMPARE(redirect.contents(), QByteArray("before\r\nwhile open\r\nafter\r\n"));
}

void TestDebugConsole::showsOtherThreads()
{
    StdoutToFile redirect;
    DebugConsole console;
    QVERIFY(console.startCapture());
    // Unflushed printf from another thread reaches the window too.
    std::thread writer([] { std::printf("from the worker\r\n"); });
    writer.join();
    QTRY_COMPARE(console.text(), QStringLiteral("from the worker"));
}

void TestDebugConsole::windowOpensWithSummary()
{
    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nFull=v12\nForced=no\n"));
    QVERIFY(package.makeImage("brenvik_fs.iso"));
    QVERIFY(package.write("notes.txt", "x"));
    StdoutToFile redirect;
    MainWindow w;
    MainWindowTestAccess a(&w);

    a.debugTerminal(true);
    QVERIFY(MainWindowTestAccess::consoleOpen());
    DebugConsole* console = a.debugConsole();
    QVERIFY(console);
    QVERIFY(console->isVisible());
    QCOMPARE(console->windowTitle(), QStringLiteral("Debug Output"));
    // Stack size, path, one line per file, nine values.
    QTRY_COMPARE(console->lineCount(), 2 + 3 + 9);
    const QStringList lines = console->text().split('\n');
    QCOMPARE(lines.at(0), QStringLiteral("mThread stackSize : 1108864"));
    QCOMPARE(lines.at(1), "PATH=" + package.path());
    QCOMPARE(lines.at(2), QStringLiteral("%1 %2").arg(1, 10).arg(package.filePath("notes.txt")));
    QCOMPARE(lines.at(5), QStringLiteral("Full = v12"));
    QCOMPARE(lines.at(13), QStringLiteral("Forced = no"));

    // A second opening request prints the summary again.
    a.debugTerminal(true);
    QTRY_COMPARE(console->lineCount(), 2 * 14);

    a.debugTerminal(false);
    QVERIFY(!MainWindowTestAccess::consoleOpen());
    QTRY_VERIFY(!a.debugConsole()); // closed and gone
    std::printf("not shown\r\n");
    std::fflush(stdout);
    QVERIFY(redirect.contents().endsWith("not shown\r\n"));
}

void TestDebugConsole::closingRequestWithoutConsole()
{
    TestPackage package;
    MainWindow w;
    MainWindowTestAccess a(&w);
    MainWindowTestAccess::consoleOpen() = false;
    a.debugTerminal(false);
    QVERIFY(!a.debugConsole());
    QVERIFY(!MainWindowTestAccess::consoleOpen());
}

void TestDebugConsole::userClosesTheWindow()
{
    TestPackage package;
    StdoutToFile redirect;
    MainWindow w;
    MainWindowTestAccess a(&w);
    a.debugTerminal(true);
    QVERIFY(a.debugConsole());
    a.debugConsole()->close();
    QVERIFY(!MainWindowTestAccess::consoleOpen());
    QTRY_VERIFY(!a.debugConsole());
    // Standard output is back where it was: the next line lands in the file directly.
    std::printf("after close\r\n");
    std::fflush(stdout);
    QVERIFY(redirect.contents().endsWith("after close\r\n"));
}

// QtTest writes its own log to standard output, which these tests capture; it goes to the
// error stream instead unless an output was chosen on the command line.
int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QTEST_DISABLE_KEYPAD_NAVIGATION
    TestDebugConsole test;
    QStringList args = app.arguments();
    if (!args.contains(QStringLiteral("-o")))
        args << QStringLiteral("-o") << QStringLiteral("/dev/stderr,txt");
    return QTest::qExec(&test, args);
}
#include "tst_debugconsole.moc"
