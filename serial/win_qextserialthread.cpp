#include "win_qextserialthread.h"

#include "win_qextserialport.h"

Win_QextSerialThread::Win_QextSerialThread(Win_QextSerialPort* port)
    : QThread(), qesp(port), terminate_(false)
{
}

void Win_QextSerialThread::run()
{
    while (!terminate_)
        qesp->monitorCommEvent();
    terminate_ = false;
}
