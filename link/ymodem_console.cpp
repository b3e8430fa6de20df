// Console command sequences of the worker. (placeholder: being written)
#include "ymodem.h"

void YMODEM::yTransmit(QString) {}
void YMODEM::yTransmitUserSettings(QString) {}
void YMODEM::yTransmitGetFirmwareVersion() {}
void YMODEM::deviceRenameBLE_File() {}
void YMODEM::getUpdatedFirmwareVersion() {}
