// The udev rules installed for the console's port: a rule file cannot be run here (no udev in
// a build container), so its one rule for the port is read back and checked against what the
// updater and the desktop rely on.
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

class TestUdevRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void portRuleMatchesNarrowly();
    void manufacturerIsWhatDetectionWants();
    void accessWithoutRootAndNoModemManager();
    void orderedBeforeSeatRules();

private:
    QString fileName;
    QStringList rules; // logical lines (continuations joined), comments left out
    QString ttyRule;
};

void TestUdevRules::initTestCase()
{
    const QByteArray source = qgetenv("UPDATER_SOURCE_DIR");
    QVERIFY(!source.isEmpty());
    fileName =
        QString::fromLocal8Bit(source) + QStringLiteral("/packaging/udev/70-brenvik-console.rules");
    QFile f(fileName);
    QVERIFY2(f.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(fileName));
    QString pending;
    for (const QString& raw : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (pending.isEmpty() && (line.isEmpty() || line.startsWith(QLatin1Char('#'))))
            continue;
        if (line.endsWith(QLatin1Char('\\'))) {
            pending += line.chopped(1) + QLatin1Char(' ');
            continue;
        }
        rules << pending + line;
        pending.clear();
    }
    QVERIFY2(pending.isEmpty(), "a continuation runs off the end of the file");
    for (const QString& r : rules) {
        if (r.contains(QLatin1String("SUBSYSTEM==\"tty\"")))
            ttyRule = r;
    }
    QVERIFY2(!ttyRule.isEmpty(), "no rule for the tty subsystem");
}

void TestUdevRules::portRuleMatchesNarrowly()
{
    QVERIFY(ttyRule.contains(QLatin1String("ATTRS{idVendor}==\"0483\"")));
    QVERIFY(ttyRule.contains(QLatin1String("ATTRS{idProduct}==\"5740\"")));
    // Every key of every rule is a match (==, !=) or an assignment (=, +=): a typo such as a
    // single "=" on a match key would turn a match into an assignment for every device.
    const QRegularExpression key(
        QStringLiteral(R"re(^\s*([A-Z_]+)(\{[^}]*\})?\s*(==|!=|\+=|:=|=)\s*"[^"]*"\s*$)re"));
    const QStringList matchKeys = {QStringLiteral("ACTION"), QStringLiteral("SUBSYSTEM"),
                                   QStringLiteral("ATTRS"), QStringLiteral("ATTR"),
                                   QStringLiteral("KERNEL")};
    for (const QString& r : rules) {
        if (r.startsWith(QLatin1String("LABEL=")))
            continue;
        for (const QString& part : r.split(QLatin1Char(','))) {
            const QRegularExpressionMatch m = key.match(part);
            QVERIFY2(m.hasMatch(), qPrintable(part));
            if (matchKeys.contains(m.captured(1)))
                QVERIFY2(m.captured(3) == QLatin1String("==") ||
                             m.captured(3) == QLatin1String("!="),
                         qPrintable(part));
        }
    }
}

void TestUdevRules::manufacturerIsWhatDetectionWants()
{
    const QRegularExpression vendor(QStringLiteral(R"re(ENV\{ID_VENDOR\}="([^"]*)")re"));
    const QRegularExpressionMatch m = vendor.match(ttyRule);
    QVERIFY(m.hasMatch());
    // QSerialPortInfo turns underscores of ID_VENDOR into blanks.
    QString reported = m.captured(1);
    reported.replace(QLatin1Char('_'), QLatin1Char(' '));
    QCOMPARE(reported, QStringLiteral("STMicroelectronics."));
}

void TestUdevRules::accessWithoutRootAndNoModemManager()
{
    QVERIFY(ttyRule.contains(QLatin1String("TAG+=\"uaccess\"")));
    QVERIFY(ttyRule.contains(QLatin1String("ENV{ID_MM_DEVICE_IGNORE}=\"1\"")));
    QVERIFY(ttyRule.contains(QLatin1String("MODE=\"0660\"")));
}

void TestUdevRules::orderedBeforeSeatRules()
{
    // logind's uaccess handling runs in 73-seat-late.rules: the tag must be set before.
    const int number = QFileInfo(fileName).fileName().section(QLatin1Char('-'), 0, 0).toInt();
    QVERIFY(number > 0 && number < 73);
}

QTEST_GUILESS_MAIN(TestUdevRules)
#include "tst_udevrules.moc"
