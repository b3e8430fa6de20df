#include "startup.h"

#include "consoletrace.h"
#include "mainwindow.h"
#include "resultcodes.h"
#include "startupwidget.h"

#include <QApplication>
#include <QDebug>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

namespace
{

// One of each per process, whatever the number of windows. lastDetected starts true so that
// the first detection after start-up is not logged, only the first loss.
bool lastDetected = true;
// The value the next Alt+Shift+D sends: the first press opens the debug console.
bool debugTerminalOn = true;

const int WindowWidth = 1100;
const int WindowHeight = 350;
const int ScanIntervalMs = 500;
// Gives the worker time to close the port before the process ends.
const unsigned long QuitDelaySeconds = 1;

void printLine(const char* line)
{
    ConsoleTrace::print(QLatin1String(line) + QLatin1String("\r\n"));
}

} // namespace

Startup::Startup(QWidget* parent)
    : QMainWindow(parent), mainWidget(nullptr), mainLayout(nullptr), pageStack(nullptr),
      cancelButton(nullptr), nextButton(nullptr), buttonSpacer(nullptr), pageIndex(0),
      mainStatusBar(nullptr), mainWindow(nullptr), scanTimer(nullptr), portConnected(false),
      welcomePage(nullptr), updateActive(false)
{
    mainWidget = new QWidget(this);
    mainLayout = new QGridLayout(mainWidget);
    pageStack = new QStackedWidget(this);
    cancelButton = new QPushButton(tr("Cancel"), this);
    nextButton = new QPushButton(tr("Next"), this);
    buttonSpacer = new QSpacerItem(0, 0, QSizePolicy::Expanding, QSizePolicy::Minimum);
    pageIndex = 0;

    mainStatusBar = new QStatusBar(this);
    mainStatusBar->setObjectName(QStringLiteral("statusBar"));
    setStatusBar(mainStatusBar);
    nextButton->setEnabled(false);

    if (QScreen* screen = QGuiApplication::primaryScreen())
        screenRect = screen->geometry();

    mainLayout->addWidget(pageStack, 0, 0, 1, 3);
    mainLayout->addItem(buttonSpacer, 1, 0);
    mainLayout->addWidget(cancelButton, 1, 1);
    mainLayout->addWidget(nextButton, 1, 2);

    // The screen's origin is deliberately not added: the window centres on the primary screen
    // as if it started at 0, 0.
    setGeometry((screenRect.width() - WindowWidth) / 2, (screenRect.height() - WindowHeight) / 2,
                WindowWidth, WindowHeight);

    mainWidget->setLayout(mainLayout);
    setCentralWidget(mainWidget);

    QFont buttonFont = cancelButton->font();
    buttonFont.setPointSize(16);
    buttonFont.setWeight(QFont::Bold);
    for (QPushButton* button : {cancelButton, nextButton}) {
        button->setMinimumHeight(55);
        button->setMinimumWidth(128);
        button->setFont(buttonFont);
    }

    mainWindow = new MainWindow();
    mainStatusBar->addPermanentWidget(mainWindow->connectionLabel, 0);
    mainStatusBar->addWidget(mainWindow->detectionLabel, 0);

    welcomePage = new StartupWidget();
    welcomePage->setVersionText(mainWindow->packageVersionText());

    pageStack->addWidget(welcomePage);
    pageStack->addWidget(mainWindow);
    pageStack->setCurrentIndex(pageIndex);

    setWindowTitle(tr("Updater v01.13"));
    updateActive = false;

    scanTimer = new QTimer(this);
    scanTimer->setInterval(ScanIntervalMs);
    connect(mainWindow, SIGNAL(deviceDetected(bool)), this, SLOT(deviceDetected(bool)));
    connect(cancelButton, SIGNAL(clicked()), this, SLOT(cancPage()));
    connect(nextButton, SIGNAL(clicked()), this, SLOT(nextPage()));
    connect(scanTimer, SIGNAL(timeout()), this, SLOT(scanSerial()));
    connect(this, SIGNAL(startSerialScanning(bool)), mainWindow, SLOT(refreshSerialDevices(bool)));
    connect(this, SIGNAL(serialDisconnect()), mainWindow, SLOT(disconnectDevice()));
    connect(this, SIGNAL(firmwareUploadCommand()), mainWindow, SLOT(firmwareUpload()));
    connect(this, SIGNAL(debugTerminalSignal(bool)), mainWindow, SLOT(debugTerminalSlot(bool)));
    connect(mainWindow, SIGNAL(deviceConnected(int)), this, SLOT(serialConnected(int)));
    connect(mainWindow, SIGNAL(activeUpdateSignal()), this, SLOT(activeUpdateSlot()));

    scanTimer->start();
    portConnected = false;
}

Startup::~Startup() = default;

void Startup::recentre()
{
    setGeometry((screenRect.width() - WindowWidth) / 2, geometry().top(), WindowWidth,
                WindowHeight);
}

void Startup::scanSerial()
{
    emit startSerialScanning(true);
}

void Startup::serialConnected(int res)
{
    portConnected = PortState(res) == PortState::Open;
}

void Startup::activeUpdateSlot()
{
    nextButton->setEnabled(true);
}

void Startup::deviceDetected(bool state)
{
    nextButton->setEnabled(state && !updateActive);

    if (state && !lastDetected) {
        lastDetected = true;
        qDebug() << "deviceDetected true";
        printLine("deviceDetected true");
    } else if (!state && lastDetected) {
        lastDetected = false;
        qDebug() << "deviceDetected false";
        printLine("deviceDetected false");
    }
}

void Startup::nextPage()
{
    if (portConnected && pageIndex == 1) {
        nextButton->setEnabled(false);
        emit firmwareUploadCommand();
        updateActive = true;
        return;
    }

    if (pageIndex < pageStack->count() - 1)
        ++pageIndex;

    if (pageIndex == 1) {
        nextButton->setText(QCoreApplication::translate("MainWindow", "Update"));
        cancelButton->setText(QCoreApplication::translate("MainWindow", "Back"));
        nextButton->setEnabled(false);
        scanTimer->stop();
        // Also the retry path: "Update" while not connected asks for the port once more.
        if (!portConnected)
            mainWindow->on_serialConnectButton_clicked();
        recentre();
    }

    pageStack->setCurrentIndex(pageIndex);
}

void Startup::cancPage()
{
    // The same question as closing the window; a run started from the updater page itself (a
    // restore of kept users' data) counts too.
    if (updateActive || mainWindow->isUpdateRunning()) {
        if (!mainWindow->askAbort())
            return;
        mainWindow->abandonRun();
    }

    updateActive = false;

    if (pageIndex <= 0) {
        emit serialDisconnect();
        QThread::sleep(QuitDelaySeconds);
        QCoreApplication::quit();
    } else {
        --pageIndex;
    }

    // Runs after a quit request too: the event loop ends only once control returns to it.
    if (pageIndex == 0) {
        emit serialDisconnect();
        recentre();
        nextButton->setText(QCoreApplication::translate("MainWindow", "Next"));
        cancelButton->setText(QCoreApplication::translate("MainWindow", "Cancel"));
        scanTimer->start();
        nextButton->setEnabled(true);
    }

    pageStack->setCurrentIndex(pageIndex);
}

void Startup::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Alt)
        return;

    if (event->modifiers() & Qt::AltModifier) {
        ConsoleTrace::print(QStringLiteral("Alt+%1 Pressed\r\n").arg(event->text()));

        if (event->text().contains(QLatin1Char('D'))) {
            emit debugTerminalSignal(debugTerminalOn);
            debugTerminalOn = !debugTerminalOn;
        }
    }
    // Deliberately not passed on: every key press ends here.
}
