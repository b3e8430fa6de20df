// The parsers of the console's replies: they take any bytes at all and must find exactly the
// fields the sequences use; and SQLite's answer to the users' data check.
#include "consolereplies.h"
#include "usersdatamigration.h"

#include <QtTest>

class TestConsoleReplies : public QObject
{
    Q_OBJECT

private slots:
    void clean_data();
    void clean();
    void loaderTests_data();
    void loaderTests();
    void versionNumber_data();
    void versionNumber();
    void versionText_data();
    void versionText();
    void buildVersion_data();
    void buildVersion();
    void identity_data();
    void identity();
    void serialNumber_data();
    void serialNumber();
    void article();
    void integrity_data();
    void integrity();
};

void TestConsoleReplies::clean_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("pair removed") << QByteArray("abc\r\n") << "abc";
    QTest::newRow("pairs inside") << QByteArray("a\r\nb\r\n\r\n") << "ab";
    QTest::newRow("lone CR and LF stay") << QByteArray("a\rb\nc\n\r") << "a\rb\nc\n\r";
    QTest::newRow("stops at NUL") << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("empty") << QByteArray() << "";
}

void TestConsoleReplies::clean()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QCOMPARE(ConsoleReplies::clean(reply), text);
}

void TestConsoleReplies::loaderTests_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("after");
    QTest::newRow("CCC") << QByteArray("CCC\r\n") << true << false;
    QTest::newRow("CCCC") << QByteArray("CCCC") << true << true;
    QTest::newRow("version") << QByteArray("01020304\r\n") << false << false;
    QTest::newRow("lower case c") << QByteArray("cccc") << false << false;
    // Only a reply made of "C"s and line ends is the loader: an application whose reply holds
    // a "C" must not be updated as if it were one (its users' data would not be kept).
    QTest::newRow("one C in text") << QByteArray("01C20304\r\n") << false << false;
    QTest::newRow("C then a version") << QByteArray("C01020304\r\n") << false << false;
    QTest::newRow("CCCC then text") << QByteArray("CCCC\r\nshell> ") << false << false;
    QTest::newRow("noise then CCCC") << QByteArray("\x1b[2JCCCC") << false << false;
    QTest::newRow("C with a NUL") << QByteArray("CC\0CC", 5) << false << false;
    QTest::newRow("C and blanks") << QByteArray("C C C C") << false << false;
    QTest::newRow("echo then CCCC") << QByteArray("VE\r\nCCCC") << false << false;
    QTest::newRow("C between line ends") << QByteArray("\r\nC\r\n") << true << false;
    QTest::newRow("lone line ends and CCCC") << QByteArray("\rCC\nCC\r") << true << false;
    QTest::newRow("CCCCC polled") << QByteArray("\r\nCCCCC\n") << true << true;
    QTest::newRow("line ends only") << QByteArray("\r\n") << false << false;
    QTest::newRow("empty") << QByteArray() << false << false;
}

void TestConsoleReplies::loaderTests()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, before);
    QFETCH(bool, after);
    QCOMPARE(ConsoleReplies::loaderBeforeUpdate(reply), before);
    QCOMPARE(ConsoleReplies::loaderAfterUpdate(reply), after);
}

void TestConsoleReplies::versionNumber_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("readable");
    QTest::newRow("example") << QByteArray("01020304\r\n") << 20304 << true;
    QTest::newRow("two chars only") << QByteArray("01\r\n") << 0 << false;
    QTest::newRow("empty") << QByteArray() << 0 << false;
    QTest::newRow("not a number") << QByteArray("01abc") << 0 << false;
    QTest::newRow("leading letters") << QByteArray("v1300601") << 300601 << true;
    QTest::newRow("too large") << QByteArray("0199999999999") << 0 << false;
    QTest::newRow("negative") << QByteArray("01-5") << -5 << false;
    QTest::newRow("zero") << QByteArray("01000000\r\n") << 0 << false;
    // An echo of the command is not part of the version: the digits after it are.
    QTest::newRow("echoed command") << QByteArray("VE01020304") << 20304 << true;
    QTest::newRow("echoed command, line ends") << QByteArray("VE\r\n01020304\r\n") << 20304 << true;
    QTest::newRow("echoed command, lone LF") << QByteArray("VE\n01020304") << 20304 << true;
    QTest::newRow("line ends before") << QByteArray("\n\r01020304") << 20304 << true;
    QTest::newRow("echo alone") << QByteArray("VE\r\n") << 0 << false;
    QTest::newRow("echo and two chars") << QByteArray("VE\r\n01\r\n") << 0 << false;
}

void TestConsoleReplies::versionNumber()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, number);
    QFETCH(bool, readable);
    QCOMPARE(ConsoleReplies::versionNumber(reply), number);
    int read = -1;
    QCOMPARE(ConsoleReplies::readVersionNumber(reply, read), readable);
}

void TestConsoleReplies::versionText_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("example") << QByteArray("01020304\r\n") << "v01.02.03.04";
    // Insert past the end pads with blanks.
    QTest::newRow("empty") << QByteArray() << "v  .  .  .";
    QTest::newRow("short") << QByteArray("0102") << "v01.02.  .";
    QTest::newRow("CCC after update") << QByteArray("CCC\r\n") << "vCC.C .  .";
    QTest::newRow("long") << QByteArray("0102030405") << "v01.02.03.0405";
    QTest::newRow("echoed command") << QByteArray("VE\r\n01020304\r\n") << "v01.02.03.04";
}

void TestConsoleReplies::versionText()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QCOMPARE(ConsoleReplies::versionText(reply), text);
}

void TestConsoleReplies::buildVersion_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("text");
    QTest::newRow("example") << QByteArray("1.2.3\r\n") << true << "v01.02.03.04.2.3";
    QTest::newRow("two fields") << QByteArray("1.2\r\n") << false << "v01.02.03.04";
    QTest::newRow("empty fields kept") << QByteArray("..") << true << "v01.02.03.04..";
    QTest::newRow("more fields") << QByteArray("9.8.7.6") << true << "v01.02.03.04.8.7";
    QTest::newRow("nothing") << QByteArray() << false << "v01.02.03.04";
}

void TestConsoleReplies::buildVersion()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    QFETCH(QString, text);
    QString version = QStringLiteral("v01.02.03.04");
    QCOMPARE(ConsoleReplies::appendBuildVersion(version, reply), found);
    QCOMPARE(version, text);
}

void TestConsoleReplies::identity_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("monitor");
    QTest::newRow("three fields") << QByteArray("X\tY\tZ") << true << "Y"
                                  << "X";
    QTest::newRow("two fields") << QByteArray("M42\tBike Pro\r\n") << true << "Bike Pro"
                                << "M42";
    QTest::newRow("no tab") << QByteArray("M42 Bike") << false << ""
                            << "";
    QTest::newRow("empty parts") << QByteArray("\t") << true << ""
                                 << "";
}

void TestConsoleReplies::identity()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    QFETCH(QString, name);
    QFETCH(QString, monitor);
    QString gotName, gotMonitor;
    QCOMPARE(ConsoleReplies::identity(reply, gotName, gotMonitor), found);
    QCOMPARE(gotName, name);
    QCOMPARE(gotMonitor, monitor);
}

void TestConsoleReplies::serialNumber_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("serial");
    QTest::newRow("second field") << QByteArray("SN\tA123\tx\r\n") << true << "A123";
    QTest::newRow("no tab") << QByteArray("A123\r\n") << false << "";
    QTest::newRow("CR LF inside removed") << QByteArray("SN\tA1\r\n23") << true << "A123";
}

void TestConsoleReplies::serialNumber()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, found);
    QFETCH(QString, serial);
    QString got;
    QCOMPARE(ConsoleReplies::serialNumber(reply, got), found);
    QCOMPARE(got, serial);
}

void TestConsoleReplies::article()
{
    QCOMPARE(ConsoleReplies::article("ART-7\r\n"), QStringLiteral("ART-7"));
    QCOMPARE(ConsoleReplies::article(QByteArray()), QString());
}

void TestConsoleReplies::integrity_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<bool>("ok");
    QTest::newRow("ok") << "ok" << true;
    QTest::newRow("OK") << "OK" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("problem") << "*** in database main ***" << false;
    QTest::newRow("ok with more") << "ok " << false;
}

void TestConsoleReplies::integrity()
{
    QFETCH(QString, result);
    QFETCH(bool, ok);
    QCOMPARE(UsersDataMigration::integrityOk(result), ok);
}

QTEST_APPLESS_MAIN(TestConsoleReplies)
#include "tst_consolereplies.moc"
