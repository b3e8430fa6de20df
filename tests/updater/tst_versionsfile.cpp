#include "versionsfile.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

// "Key=value" for every assignment, in the order the reader found them.
static QStringList describe(const VersionsFile& file)
{
    QStringList out;
    for (const VersionsFile::Entry& e : file.entries())
        out << VersionsFile::keyName(e.key) + QLatin1Char('=') + e.value;
    return out;
}

static VersionsFile parse(const QByteArray& content)
{
    QBuffer buffer;
    buffer.setData(content);
    buffer.open(QIODevice::ReadOnly);
    VersionsFile file;
    file.parse(buffer);
    return file;
}

class TestVersionsFile : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void queries_data();
    void queries();
    void pieces_data();
    void pieces();
    void versionNumber_data();
    void versionNumber();
    void forcedValue_data();
    void forcedValue();
    void readsFileAndRefusesMissing();
};

void TestVersionsFile::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("header");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("problem");

    const QByteArray h = "[Versions]\n";
    const QString valid;
    QTest::newRow("header upper case")
        << QByteArray("[VERSIONS]\nFull=v1\n") << true << QStringList{"Full=v1"} << valid;
    QTest::newRow("header lower case, key lower case")
        << QByteArray("versions\nfull=v1\nbuild=7\n") << true << QStringList{"Full=v1", "Build=7"}
        << valid;
    QTest::newRow("no header yields nothing") << QByteArray("Full=v1\nDate=2016\n") << false
                                              << QStringList{} << "versions.ini has no header";
    QTest::newRow("no header, statements not taken")
        << QByteArray("Query=1\nSELECT 1;\n") << false << QStringList{}
        << "versions.ini has no header";
    QTest::newRow("header alone") << h << true << QStringList{} << valid;
    QTest::newRow("lines before the header ignored")
        << QByteArray("Full=early\n[Versions]\nDate=20161215\n") << true
        << QStringList{"Date=20161215"} << valid;
    QTest::newRow("blank after = kept") << h + "Full= v1 \n"
                                        << true << QStringList{"Full= v1 "} << valid;
    QTest::newRow("two = signs: text between them") << h + "Full=a=b\n"
                                                    << true << QStringList{"Full=a"} << valid;
    QTest::newRow("empty value") << h + "Date=\n" << true << QStringList{"Date="} << valid;
    QTest::newRow("CR LF removed, nothing else trimmed")
        << QByteArray("[Versions]\r\nFull=v1\t\r\n") << true << QStringList{"Full=v1\t"} << valid;
    QTest::newRow("one line names Build and Date")
        << h + "BuildDate=42\n"
        << true << QStringList{"Build=42", "Date=42"} << valid;
    QTest::newRow("key anywhere in the line") << h + "the bootloader release=3.1\n"
                                              << true << QStringList{"Bootloader=3.1"} << valid;
    QTest::newRow("all keys in table order")
        << h + "Full=1\nBootloader=2\nApplication=3\nBuild=4\nBluetooth=5\nDate=6\n"
               "minorVersion=7\nVChanged=8\nForced=9\n"
        << true
        << QStringList{"Full=1", "Bootloader=2",   "Application=3", "Build=4", "Bluetooth=5",
                       "Date=6", "minorVersion=7", "VChanged=8",    "Forced=9"}
        << valid;
    QTest::newRow("later line for the same key comes later")
        << h + "Full=a\nFull=b\n"
        << true << QStringList{"Full=a", "Full=b"} << valid;
    QTest::newRow("line of two bytes ignored, three kept")
        << h + "Full=x\n=\nab\nDate=d\n"
        << true << QStringList{"Full=x", "Date=d"} << valid;
    QTest::newRow("line without = assigns nothing") << h + "Full=v1\nFull version follows\n"
                                                    << true << QStringList{"Full=v1"} << valid;
    QTest::newRow("UTF-8 decoded")
        << h + "Full=caf\xc3\xa9\n"
        << true << QStringList{QString::fromUtf8("Full=caf\xc3\xa9")} << valid;
    QTest::newRow("key lines after the query lines ignored")
        << h + "Full=a\nQuery=1\nDROP TABLE x;\nDate=late\n"
        << true << QStringList{"Full=a", "Query=1"} << valid;
}

void TestVersionsFile::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, header);
    QFETCH(QStringList, entries);
    QFETCH(QString, problem);

    const VersionsFile file = ::parse(content);
    QCOMPARE(file.hasHeader(), header);
    QCOMPARE(describe(file), entries);
    QCOMPARE(file.problem(), problem);
    QCOMPARE(file.isValid(), problem.isEmpty());
}

void TestVersionsFile::queries_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("queries");
    QTest::addColumn<QString>("problem");

    const QByteArray h = "[Versions]\n";
    const QString valid;
    QTest::newRow("count 0 stops at once") << h + "Query=0\nSELECT 1;\n"
                                           << 0 << QStringList{} << valid;
    QTest::newRow("count 2 takes two lines") << h + "Query=2\nSELECT 1;\nSELECT 2;\nSELECT 3;\n"
                                             << 2 << QStringList{"SELECT 1;", "SELECT 2;"} << valid;
    QTest::newRow("statements taken whole, keys inside not tested")
        << h + "Query=1\n  UPDATE t SET Full='x';  \r\n"
        << 1 << QStringList{"  UPDATE t SET Full='x';  "} << valid;
    QTest::newRow("short lines are not statements")
        << h + "Query=2\na\n\nSELECT 1;\nSELECT 2;\n"
        << 2 << QStringList{"SELECT 1;", "SELECT 2;"} << valid;
    QTest::newRow("exactly as many statements as asked, file ends")
        << h + "Query=3\nSELECT 1;\nSELECT 2;\nSELECT 3;" << 3
        << QStringList{"SELECT 1;", "SELECT 2;", "SELECT 3;"} << valid;
    QTest::newRow("cut off: three asked, two given")
        << h + "Query=3\nSELECT 1;\nSELECT 2;\n"
        << 3 << QStringList{"SELECT 1;", "SELECT 2;"} << "versions.ini holds 2 of its 3 statements";
    QTest::newRow("cut off: blank lines do not make up the count")
        << h + "Query=2\nSELECT 1;\n\r\n\n"
        << 2 << QStringList{"SELECT 1;"} << "versions.ini holds 1 of its 2 statements";
    QTest::newRow("count larger than the supply")
        << h + "Query=5\nSELECT 1;\n"
        << 5 << QStringList{"SELECT 1;"} << "versions.ini holds 1 of its 5 statements";
    QTest::newRow("count not a number") << h + "Query=many\nSELECT 1;\n"
                                        << 0 << QStringList{} << valid;
    QTest::newRow("negative count") << h + "Query=-3\nSELECT 1;\n" << 0 << QStringList{} << valid;
    QTest::newRow("count with blanks") << h + "Query = 1\nSELECT 1;\n"
                                       << 1 << QStringList{"SELECT 1;"} << valid;
}

void TestVersionsFile::queries()
{
    QFETCH(QByteArray, content);
    QFETCH(int, count);
    QFETCH(QStringList, queries);
    QFETCH(QString, problem);

    const VersionsFile file = ::parse(content);
    QVERIFY(file.hasQuery());
    QCOMPARE(file.queryCount(), count);
    QCOMPARE(file.queries(), queries);
    QCOMPARE(file.problem(), problem);
    QCOMPARE(file.isValid(), problem.isEmpty());
}

void TestVersionsFile::pieces_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("entries");

    const QByteArray a1018(1018, 'a');
    // "Full=" and 1018 letters fill one piece of 1023 bytes exactly; the rest of the line is a
    // line of its own.
    QTest::newRow("rest of a long line is a line")
        << "[Versions]\nFull=" + a1018 + "Date=zz\n"
        << QStringList{"Full=" + QString(a1018), "Date=zz"};
    QTest::newRow("rest of two bytes is ignored")
        << "[Versions]\nFull=" + a1018 + "b\nDate=d\n"
        << QStringList{"Full=" + QString(a1018), "Date=d"};
    QTest::newRow("line of 1023 bytes with its terminator is one piece")
        << "[Versions]\nFull=" + QByteArray(1017, 'a') + "\nDate=d\n"
        << QStringList{"Full=" + QString(QByteArray(1017, 'a')), "Date=d"};
}

void TestVersionsFile::pieces()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, entries);
    QCOMPARE(describe(::parse(content)), entries);
}

void TestVersionsFile::versionNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("isNumber");
    QTest::newRow("six digits") << "300000" << 300000 << true;
    QTest::newRow("leading zero") << "010203" << 10203 << true;
    // Migration off on purpose, not for want of a number: the trace must not say otherwise.
    QTest::newRow("six zeros") << "000000" << 0 << true;
    QTest::newRow("five digits") << "30000" << 0 << false;
    QTest::newRow("seven digits") << "3000000" << 0 << false;
    QTest::newRow("six characters, not a number") << "30000a" << 0 << false;
    QTest::newRow("letters only") << "abcdef" << 0 << false;
    QTest::newRow("sign") << "-12345" << 0 << false;
    QTest::newRow("leading blank") << " 12345" << 0 << false;
    QTest::newRow("empty") << "" << 0 << false;
}

void TestVersionsFile::versionNumber()
{
    QFETCH(QString, text);
    QFETCH(int, number);
    QFETCH(bool, isNumber);
    QCOMPARE(VersionsFile::versionNumber(text), number);
    QCOMPARE(VersionsFile::isVersionNumber(text), isNumber);
}

void TestVersionsFile::forcedValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("forced");
    QTest::newRow("YES") << "YES" << true;
    QTest::newRow("lower case") << "yes" << true;
    QTest::newRow("within text") << " Yes, always" << true;
    QTest::newRow("NO") << "NO" << false;
    QTest::newRow("letters apart") << "Y E S" << false;
    QTest::newRow("empty") << "" << false;
}

void TestVersionsFile::forcedValue()
{
    QFETCH(QString, value);
    QFETCH(bool, forced);
    QCOMPARE(VersionsFile::isForcedValue(value), forced);
}

void TestVersionsFile::readsFileAndRefusesMissing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("versions.ini");
    VersionsFile file;
    QVERIFY(!file.isValid());
    QVERIFY(!file.read(path));
    QVERIFY(file.entries().isEmpty());
    QVERIFY(!file.isValid());
    QCOMPARE(file.problem(), QStringLiteral("versions.ini is missing or cannot be read"));

    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("[Versions]\r\nFull=v11.30\r\nDate=20161215\r\nFull=v12\r\n");
    out.close();
    QVERIFY(file.read(path));
    QCOMPARE(file.value(VersionsFile::Full), QStringLiteral("v12"));
    QCOMPARE(file.value(VersionsFile::Date), QStringLiteral("20161215"));
    QCOMPARE(file.value(VersionsFile::Bootloader), QString());
    QVERIFY(file.isValid());

    // The same reader, told of a package whose file has gone, must not keep the earlier verdict.
    QVERIFY(out.remove());
    QVERIFY(!file.read(path));
    QCOMPARE(file.problem(), QStringLiteral("versions.ini is missing or cannot be read"));
}

QTEST_GUILESS_MAIN(TestVersionsFile)
#include "tst_versionsfile.moc"
