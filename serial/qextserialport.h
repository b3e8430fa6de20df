#ifndef QEXTSERIALPORT_H
#define QEXTSERIALPORT_H

#include "win_qextserialport.h"

// The serial port the program instantiates.
class QextSerialPort : public Win_QextSerialPort
{
    Q_OBJECT

public:
    QextSerialPort(const QString& name, IoMode mode);
    ~QextSerialPort() override;
};

#endif // QEXTSERIALPORT_H
