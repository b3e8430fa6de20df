// YMODEM receiver of the worker. (placeholder: being written)
#include "ymodem.h"

int YMODEM::Receive_Packet(char*, int* length, int) { *length = 0; return -1; }
int YMODEM::Ymodem_Receive(QString) { return -1; }
