#ifndef WIN_QEXTSERIALTHREAD_H
#define WIN_QEXTSERIALTHREAD_H

#include <QThread>
#include <atomic>

class Win_QextSerialPort;

// The event monitor of a port: loops the port's event wait until told to stop.
class Win_QextSerialThread : public QThread
{
public:
    explicit Win_QextSerialThread(Win_QextSerialPort* port);

    void stop() { terminate_ = true; }
    bool stopping() const { return terminate_; }
    void resume() { terminate_ = false; }

protected:
    void run() override;

private:
    Win_QextSerialPort* qesp;
    std::atomic<bool> terminate_;
};

#endif // WIN_QEXTSERIALTHREAD_H
