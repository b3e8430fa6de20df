// The two designer forms and the embedded pictures: widget trees, properties and texts.
#include "contextmarker.h"
#include "startupwidget.h"
#include "ui_mainwindow.h"
#include "ui_startup.h"

#include <QImageReader>
#include <QTextDocument>
#include <QtTest>

namespace
{

// The children of `parent` that carry one of `names`, in the parent's own order.
QStringList namedChildren(const QObject* parent, const QStringList& names)
{
    QStringList found;
    for (const QObject* child : parent->children())
        if (names.contains(child->objectName()))
            found << child->objectName();
    return found;
}

QString textOf(const QObject* object)
{
    for (const char* property : {"text", "title"}) {
        const QVariant value = object->property(property);
        if (value.isValid())
            return value.toString();
    }
    return QString();
}

const QString Html = QStringLiteral("<html><head/><body><p>%1</p></body></html>");

} // namespace

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void mainWindowTree_data();
    void mainWindowTree();
    void mainWindowCreationOrder();
    void mainWindowLayouts();
    void mainWindowProperties();
    void mainWindowTexts_data();
    void mainWindowTexts();
    void mainWindowCaptionsRenderPlain_data();
    void mainWindowCaptionsRenderPlain();

    void welcomeTree_data();
    void welcomeTree();
    void welcomeProperties();
    void welcomePage();

    void translationContexts();

    void resources_data();
    void resources();
    void applicationIconSet();

private:
    void addTreeColumns();
    void checkTree(QWidget* root);
};

void TestForms::initTestCase()
{
    Q_INIT_RESOURCE(resources);
}

// One row of a tree table: object name, class, parent's name, geometry and text.
static void treeRow(const char* name, const char* cls, const char* parent, QRect geometry,
                    const QString& text)
{
    QTest::newRow(name) << QString(name) << QString(cls) << QString(parent) << geometry << text;
}

void TestForms::addTreeColumns()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry"); // null: not fixed by the form
    QTest::addColumn<QString>("text");   // text or title; null: not checked
}

void TestForms::checkTree(QWidget* root)
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    QObject* object = root->objectName() == name ? root : root->findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    if (object != root)
        QCOMPARE(object->parent()->objectName(), parentName);
    if (!geometry.isNull())
        QCOMPARE(qobject_cast<QWidget*>(object)->geometry(), geometry);
    if (!text.isNull())
        QCOMPARE(textOf(object), text);
}

void TestForms::mainWindowTree_data()
{
    addTreeColumns();
    const QRect none;
    const QString any;
    treeRow("alignLeftAction", "QAction", "MainWindow", none, "AlignLeft");
    treeRow("centralWidget", "QWidget", "MainWindow", QRect(10, 10, 1100, 321), any);
    treeRow("verticalLayoutWidget", "QWidget", "centralWidget", QRect(0, 0, 861, 271), any);
    treeRow("verticalLayout", "QVBoxLayout", "verticalLayoutWidget", none, any);
    treeRow("widget", "QWidget", "verticalLayoutWidget", none, any);
    treeRow("groupBox_1", "QGroupBox", "widget", QRect(0, 0, 851, 111), "Upload New Firmware");
    treeRow("gridLayout_35", "QGridLayout", "groupBox_1", none, any);
    treeRow("firmwareUploadStatusLabel", "QLabel", "groupBox_1", none, "FW Upload Status");
    treeRow("firmwareBar", "QProgressBar", "groupBox_1", none, any);
    treeRow("label_83", "QLabel", "groupBox_1", none, "v11.30.06.01.1.10_20161215");
    treeRow("groupBox_2", "QGroupBox", "widget", QRect(0, 110, 851, 131), "Brenvik Device");
    treeRow("horizontalLayout_10", "QHBoxLayout", "groupBox_2", none, any);
    treeRow("verticalLayout_2", "QVBoxLayout", "horizontalLayout_10", none, any);
    treeRow("horizontalLayout_4", "QHBoxLayout", "verticalLayout_2", none, any);
    treeRow("label_85", "QLabel", "groupBox_2", none, Html.arg("Device Name:"));
    treeRow("nameDeviceLabel", "QLabel", "groupBox_2", none, "ERGO");
    treeRow("horizontalLayout_3", "QHBoxLayout", "verticalLayout_2", none, any);
    treeRow("label_87", "QLabel", "groupBox_2", none, "Article No.:");
    treeRow("articleNumberLabel", "QLabel", "groupBox_2", none, "00000000");
    treeRow("horizontalLayout", "QHBoxLayout", "verticalLayout_2", none, any);
    treeRow("label_86", "QLabel", "groupBox_2", none, Html.arg("Serial No.:"));
    treeRow("serialNumberLabel", "QLabel", "groupBox_2", none, "00000000");
    treeRow("horizontalLayout_6", "QHBoxLayout", "verticalLayout_2", none, any);
    treeRow("label", "QLabel", "groupBox_2", none, Html.arg("Monitor ID:"));
    treeRow("monitorIDLabel", "QLabel", "groupBox_2", none, "RM17C");
    treeRow("horizontalLayout_2", "QHBoxLayout", "verticalLayout_2", none, any);
    treeRow("label_84", "QLabel", "groupBox_2", none, Html.arg("Current Software:"));
    treeRow("firmwareVersionLabel", "QLabel", "groupBox_2", none, "vXX.YY.ZZ");
    treeRow("widget_2", "QWidget", "centralWidget", QRect(860, 10, 211, 181), any);
    treeRow("serialConnectButton", "QPushButton", "widget_2", QRect(40, 40, 162, 23), "Connect");
    treeRow("refreshButton", "QPushButton", "widget_2", QRect(6, 40, 28, 24), "");
    treeRow("serialCombobox", "QComboBox", "widget_2", QRect(6, 11, 196, 20), any);
    treeRow("rescueMode", "QCheckBox", "widget_2", QRect(10, 70, 191, 17), "Rescue Mode");
}

void TestForms::mainWindowTree()
{
    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QString("MainWindow"));
    checkTree(&window);
}

void TestForms::mainWindowCreationOrder()
{
    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);

    // Siblings keep the order in which the form creates them.
    const QStringList all = {"alignLeftAction",
                             "centralWidget",
                             "verticalLayoutWidget",
                             "verticalLayout",
                             "widget",
                             "groupBox_1",
                             "gridLayout_35",
                             "firmwareUploadStatusLabel",
                             "firmwareBar",
                             "label_83",
                             "groupBox_2",
                             "horizontalLayout_10",
                             "label_85",
                             "nameDeviceLabel",
                             "label_87",
                             "articleNumberLabel",
                             "label_86",
                             "serialNumberLabel",
                             "label",
                             "monitorIDLabel",
                             "label_84",
                             "firmwareVersionLabel",
                             "widget_2",
                             "serialConnectButton",
                             "refreshButton",
                             "serialCombobox",
                             "rescueMode"};
    QCOMPARE(namedChildren(&window, all), QStringList({"alignLeftAction", "centralWidget"}));
    QCOMPARE(namedChildren(ui.centralWidget, all),
             QStringList({"verticalLayoutWidget", "widget_2"}));
    QCOMPARE(
        namedChildren(ui.groupBox_1, all),
        QStringList({"gridLayout_35", "firmwareUploadStatusLabel", "firmwareBar", "label_83"}));
    QCOMPARE(namedChildren(ui.groupBox_2, all),
             QStringList({"horizontalLayout_10", "label_85", "nameDeviceLabel", "label_87",
                          "articleNumberLabel", "label_86", "serialNumberLabel", "label",
                          "monitorIDLabel", "label_84", "firmwareVersionLabel"}));
    QCOMPARE(namedChildren(ui.widget_2, all),
             QStringList({"serialConnectButton", "refreshButton", "serialCombobox", "rescueMode"}));
}

void TestForms::mainWindowLayouts()
{
    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(ui.verticalLayout->spacing(), 6);
    QCOMPARE(ui.verticalLayout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(ui.verticalLayout->count(), 1);
    QCOMPARE(ui.verticalLayout->itemAt(0)->widget(), ui.widget);
    QVERIFY(!ui.widget->layout());
    QVERIFY(!ui.widget_2->layout());

    QCOMPARE(ui.gridLayout_35->spacing(), 6);
    QCOMPARE(ui.gridLayout_35->contentsMargins(), QMargins(11, 11, 11, 11));
    struct Cell {
        QWidget* widget;
        int row, column, rowSpan, columnSpan;
    };
    for (const Cell& cell : {Cell{ui.firmwareUploadStatusLabel, 2, 1, 1, 2},
                             Cell{ui.firmwareBar, 1, 1, 1, 2}, Cell{ui.label_83, 0, 1, 1, 1}}) {
        int row, column, rowSpan, columnSpan;
        ui.gridLayout_35->getItemPosition(ui.gridLayout_35->indexOf(cell.widget), &row, &column,
                                          &rowSpan, &columnSpan);
        QCOMPARE(QList<int>({row, column, rowSpan, columnSpan}),
                 QList<int>({cell.row, cell.column, cell.rowSpan, cell.columnSpan}));
    }

    QCOMPARE(ui.horizontalLayout_10->spacing(), 6);
    QCOMPARE(ui.horizontalLayout_10->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(ui.horizontalLayout_10->count(), 1);
    QCOMPARE(ui.horizontalLayout_10->itemAt(0)->layout(), ui.verticalLayout_2);
    QCOMPARE(ui.verticalLayout_2->spacing(), 6);

    struct Row {
        QHBoxLayout* layout;
        QLabel* caption;
        QLabel* value;
    };
    const QList<Row> rows = {{ui.horizontalLayout_4, ui.label_85, ui.nameDeviceLabel},
                             {ui.horizontalLayout_3, ui.label_87, ui.articleNumberLabel},
                             {ui.horizontalLayout, ui.label_86, ui.serialNumberLabel},
                             {ui.horizontalLayout_6, ui.label, ui.monitorIDLabel},
                             {ui.horizontalLayout_2, ui.label_84, ui.firmwareVersionLabel}};
    QCOMPARE(ui.verticalLayout_2->count(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const Row& r = rows.at(i);
        QCOMPARE(ui.verticalLayout_2->itemAt(i)->layout(), r.layout);
        QCOMPARE(r.layout->spacing(), 6);
        QCOMPARE(r.layout->count(), 3);
        QCOMPARE(r.layout->itemAt(0)->widget(), r.caption);
        QCOMPARE(r.layout->itemAt(1)->widget(), r.value);
        QSpacerItem* spacer = r.layout->itemAt(2)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

        // Value labels: disabled, frameless, left-aligned and vertically centred.
        QVERIFY(!r.value->isEnabled());
        QCOMPARE(r.value->frameShape(), QFrame::NoFrame);
        QCOMPARE(r.value->frameShadow(), QFrame::Plain);
        QCOMPARE(r.value->alignment(), Qt::AlignLeft | Qt::AlignVCenter);
    }
}

void TestForms::mainWindowProperties()
{
    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);

    QCOMPARE(window.size(), QSize(1100, 424));
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(window.sizePolicy().horizontalStretch(), 0);
    QCOMPARE(window.sizePolicy().verticalStretch(), 0);

    QVERIFY(!ui.alignLeftAction->icon().isNull());
    QVERIFY(ui.alignLeftAction->associatedWidgets().isEmpty());

    QVERIFY(!ui.groupBox_2->isEnabled());
    QVERIFY(ui.groupBox_1->isEnabled());
    QCOMPARE(ui.firmwareBar->minimum(), 0);
    QCOMPARE(ui.firmwareBar->maximum(), 1000);
    QCOMPARE(ui.firmwareBar->value(), 0);

    const QFont font = ui.label_83->font();
    QCOMPARE(font.pointSize(), 16);
    QCOMPARE(font.weight(), 50);
    QVERIFY(!font.italic());
    QVERIFY(font.kerning());

    QVERIFY(ui.refreshButton->isEnabled());
    QVERIFY(ui.refreshButton->text().isEmpty());
    QVERIFY(!ui.refreshButton->icon().isNull());
    QVERIFY(ui.refreshButton->icon().availableSizes().contains(QSize(128, 128)));
    QCOMPARE(ui.refreshButton->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui.refreshButton->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(ui.serialCombobox->sizePolicy().horizontalPolicy(), QSizePolicy::MinimumExpanding);
    QCOMPARE(ui.serialCombobox->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui.serialCombobox->count(), 0);
    QVERIFY(!ui.rescueMode->isChecked());
}

void TestForms::mainWindowTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("text");

    QTest::newRow("window title") << "MainWindow" << QByteArray("windowTitle") << "BrenvikUpdater";
    QTest::newRow("refresh tool tip")
        << "refreshButton" << QByteArray("toolTip") << Html.arg("Refresh Serial Port List");
    QTest::newRow("refresh text") << "refreshButton" << QByteArray("text") << "";
    QTest::newRow("rescue tool tip") << "rescueMode" << QByteArray("toolTip")
                                     << "Reset To Default Device Losting All Users Data";
}

void TestForms::mainWindowTexts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QString, text);

    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    QObject* object = name == window.objectName() ? &window : window.findChild<QObject*>(name);
    QVERIFY(object);
    QCOMPARE(object->property(property.constData()).toString(), text);
}

void TestForms::mainWindowCaptionsRenderPlain_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("plain");
    QTest::newRow("label_85") << "label_85"
                              << "Device Name:";
    QTest::newRow("label_86") << "label_86"
                              << "Serial No.:";
    QTest::newRow("label") << "label"
                           << "Monitor ID:";
    QTest::newRow("label_84") << "label_84"
                              << "Current Software:";
}

void TestForms::mainWindowCaptionsRenderPlain()
{
    QFETCH(QString, name);
    QFETCH(QString, plain);

    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    auto* label = window.findChild<QLabel*>(name);
    QVERIFY(label);
    QVERIFY(Qt::mightBeRichText(label->text()));
    QCOMPARE(label->textFormat(), Qt::AutoText);
    QTextDocument document;
    document.setHtml(label->text());
    QCOMPARE(document.toPlainText(), plain);
}

void TestForms::welcomeTree_data()
{
    addTreeColumns();
    const QRect none;
    const QString any;
    treeRow("Startup", "StartupWidget", "", none, any);
    treeRow("centralWidget", "QWidget", "Startup", QRect(0, 0, 1020, 270), any);
    treeRow("verticalLayoutWidget", "QWidget", "centralWidget", QRect(9, 9, 1001, 191), any);
    treeRow("verticalLayout", "QVBoxLayout", "verticalLayoutWidget", none, any);
    treeRow("widget", "QWidget", "verticalLayoutWidget", none, any);
    treeRow("labelpic", "QLabel", "widget", QRect(0, 0, 168, 181), any);
    treeRow("versionLabel", "QLabel", "widget", QRect(215, 12, 301, 41), "New Software Version");
    treeRow("versionLabel_2", "QLabel", "widget", QRect(215, 80, 301, 41),
            "11.30.00.03_01.12_20161218");
    treeRow("versionLabel_3", "QLabel", "widget", QRect(590, 10, 391, 151),
            "To Start Update procedure switch on your Device and connect Mini-USB port to PC "
            "USB-port.");
}

void TestForms::welcomeTree()
{
    StartupWidget page;
    checkTree(&page);
}

void TestForms::welcomeProperties()
{
    StartupWidget page;
    QCOMPARE(page.size(), QSize(1018, 280));
    QCOMPARE(page.sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(page.sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(page.windowTitle(), QString("BrenvikUpdater"));

    auto* layout = page.findChild<QVBoxLayout*>("verticalLayout");
    QVERIFY(layout);
    QCOMPARE(layout->spacing(), 6);
    QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(layout->count(), 1);
    QCOMPARE(layout->itemAt(0)->widget(), page.findChild<QWidget*>("widget"));

    QCOMPARE(namedChildren(page.findChild<QWidget*>("widget"),
                           {"labelpic", "versionLabel", "versionLabel_2", "versionLabel_3"}),
             QStringList({"labelpic", "versionLabel", "versionLabel_2", "versionLabel_3"}));

    for (const char* name : {"versionLabel", "versionLabel_2", "versionLabel_3"}) {
        auto* label = page.findChild<QLabel*>(name);
        QVERIFY(label);
        QCOMPARE(label->font().pointSize(), 16);
    }
    QCOMPARE(page.findChild<QLabel*>("versionLabel")->alignment(), Qt::AlignCenter);
    QCOMPARE(page.findChild<QLabel*>("versionLabel_2")->alignment(), Qt::AlignCenter);
    auto* instruction = page.findChild<QLabel*>("versionLabel_3");
    QCOMPARE(instruction->alignment(), Qt::AlignHCenter | Qt::AlignTop);
    QVERIFY(instruction->wordWrap());
}

void TestForms::welcomePage()
{
    StartupWidget page;
    auto* picture = page.findChild<QLabel*>("labelpic");
    QVERIFY(picture->isEnabled());
    // The picture replaces the placeholder text.
    QCOMPARE(picture->pixmap(Qt::ReturnByValue).size(), QSize(168, 181));
    QVERIFY(picture->text().isEmpty());

    page.setVersionText("v11.30.06.01.1.10_20161215");
    QCOMPARE(page.findChild<QLabel*>("versionLabel_2")->text(),
             QString("v11.30.06.01.1.10_20161215"));
    page.setVersionText("_");
    QCOMPARE(page.findChild<QLabel*>("versionLabel_2")->text(), QString("_"));
}

void TestForms::translationContexts()
{
    ContextMarker marker;
    QCoreApplication::installTranslator(&marker);

    QWidget window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    StartupWidget page;

    QCoreApplication::removeTranslator(&marker);

    QCOMPARE(window.windowTitle(), QString("[MainWindow]BrenvikUpdater"));
    QCOMPARE(ui.groupBox_2->title(), QString("[MainWindow]Brenvik Device"));
    QCOMPARE(ui.rescueMode->toolTip(),
             QString("[MainWindow]Reset To Default Device Losting All Users Data"));
    QCOMPARE(page.windowTitle(), QString("[Startup]BrenvikUpdater"));
    QCOMPARE(page.findChild<QLabel*>("versionLabel")->text(),
             QString("[Startup]New Software Version"));
}

void TestForms::resources_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");

    QTest::newRow("q-solenza_small") << ":/q-solenza_small" << QByteArray("png") << QSize(168, 181);
    QTest::newRow("q-solenza") << ":/q-solenza" << QByteArray("png") << QSize(583, 628);
    QTest::newRow("refresh") << ":/refresh" << QByteArray("png") << QSize(128, 128);
    QTest::newRow("brenvik-ico") << ":/icon/brenvik-ico" << QByteArray("png") << QSize(188, 195);
}

void TestForms::resources()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);

    QVERIFY2(QFile::exists(path), qPrintable(path));
    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    // Drawn artwork, not an empty canvas: a good part of it is opaque.
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            opaque += image.pixelColor(x, y).alpha() > 0;
    QVERIFY2(opaque > image.width() * image.height() / 10, qPrintable(QString::number(opaque)));
}

void TestForms::applicationIconSet()
{
    if (!QImageReader::supportedImageFormats().contains("ico"))
        QSKIP("this Qt has no ICO reader");
    QImageReader reader(":/icon/base_icon");
    QCOMPARE(reader.format(), QByteArray("ico"));
    QCOMPARE(reader.imageCount(), 13);

    QList<int> sides;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        sides << image.width();
    }
    std::sort(sides.begin(), sides.end());
    QCOMPARE(sides.first(), 16);
    QCOMPARE(sides.last(), 256);
    QCOMPARE(std::unique(sides.begin(), sides.end()), sides.end());
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
