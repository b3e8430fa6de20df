// YMODEM sender of the worker. (placeholder: being written)
#include "ymodem.h"

int YMODEM::Ymodem_Transmit(const QByteArray&, const QFileInfo&) { return 10; }
int YMODEM::Ymodem_Transmit_User_Data(const QByteArray&, const QFileInfo&) { return 10; }
void YMODEM::Build_Header_Block(QByteArray&, const QFileInfo&) {}
void YMODEM::Build_Data_Block(const char*, QByteArray&, quint8, quint32) {}
quint16 YMODEM::Crc16_Compute(const unsigned char*, int) { return 0; }
int YMODEM::transmitFile(const QByteArray&, const QFileInfo&, bool) { return 10; }
