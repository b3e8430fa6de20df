#ifndef STARTUP_H
#define STARTUP_H

#include <QMainWindow>
#include <QRect>

class MainWindow;
class QGridLayout;
class QKeyEvent;
class QPushButton;
class QSpacerItem;
class QStackedWidget;
class QStatusBar;
class QTimer;
class StartupWidget;

// The top-level window: a two-page wizard. Page 0 welcomes the user and scans for the console
// every 500 ms; page 1 is the updater page itself. The two buttons below the pages change
// their meaning with the page ("Cancel"/"Next", then "Back"/"Update").
class Startup : public QMainWindow
{
    Q_OBJECT

public:
    explicit Startup(QWidget* parent = nullptr);
    ~Startup() override;

signals:
    void startSerialScanning(bool enableUpdate);
    void serialDisconnect();
    void firmwareUploadCommand();
    void debugTerminalSignal(bool active);

public slots:
    void cancPage();
    void nextPage();
    void deviceDetected(bool state);
    void scanSerial();
    void serialConnected(int res);
    void activeUpdateSlot();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void recentre();

    QWidget* mainWidget;
    QGridLayout* mainLayout;
    QStackedWidget* pageStack;
    QPushButton* cancelButton;
    QPushButton* nextButton;
    QSpacerItem* buttonSpacer;
    int pageIndex;
    QRect screenRect;
    QStatusBar* mainStatusBar;
    MainWindow* mainWindow;
    QTimer* scanTimer;
    bool portConnected;
    StartupWidget* welcomePage;
    bool updateActive;
};

#endif // STARTUP_H
