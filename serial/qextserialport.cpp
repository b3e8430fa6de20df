#include "qextserialport.h"

QextSerialPort::QextSerialPort(const QString& name, IoMode mode) : Win_QextSerialPort(name, mode) {}

QextSerialPort::~QextSerialPort() = default;
