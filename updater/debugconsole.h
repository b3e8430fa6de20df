#ifndef DEBUGCONSOLE_H
#define DEBUGCONSOLE_H

#include <QByteArray>
#include <QWidget>

class QPlainTextEdit;
class QTimer;
class StdoutCapture;

// A window that shows the process's standard output while it is open: the trace lines of the
// window and of the worker thread alike. Standard output keeps going where it went before.
class DebugConsole : public QWidget
{
    Q_OBJECT

public:
    static constexpr int MaxLines = 9999;

    explicit DebugConsole(QWidget* parent = nullptr);
    ~DebugConsole() override;

    // Starts showing standard output; false (with the reason shown in the window) when it
    // cannot be tapped.
    bool startCapture();
    // Stops showing it; what was written before is still shown.
    void stopCapture();
    bool isCapturing() const;

    int lineCount() const;
    QString text() const;

signals:
    // The window was closed (by the user or by the program); the capture has stopped.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void appendBytes(const QByteArray& bytes);

    QPlainTextEdit* view;
    QTimer* flushTimer;
    StdoutCapture* capture;
    QByteArray pending; // a line not yet ended
};

#endif // DEBUGCONSOLE_H
