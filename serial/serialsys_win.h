#ifndef SERIALSYS_WIN_H
#define SERIALSYS_WIN_H

#include <windows.h>

// The Win32 calls the platform file makes on a serial device, one function each with Win32's
// own return rule (FALSE or INVALID_HANDLE_VALUE, and the reason in GetLastError()). The program
// links the real ones (serialsys_win.cpp); the platform tests link a simulated device in their
// place. Events, waits and the error number are the system's own on both sides: a simulated
// device completes an overlapped operation by setting the record's event.
namespace SerialSys
{
HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
// The device's handle only; events are closed with ::CloseHandle.
BOOL closeHandle(HANDLE device);
BOOL getCommState(HANDLE device, DCB* dcb);
BOOL setCommState(HANDLE device, DCB* dcb);
BOOL setCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts);
BOOL setCommMask(HANDLE device, DWORD mask);
BOOL waitCommEvent(HANDLE device, DWORD* mask, OVERLAPPED* overlapped);
BOOL getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL readFile(HANDLE device, void* data, DWORD size, OVERLAPPED* overlapped);
BOOL writeFile(HANDLE device, const void* data, DWORD size, OVERLAPPED* overlapped);
BOOL clearCommError(HANDLE device, DWORD* errors, COMSTAT* status);
BOOL escapeCommFunction(HANDLE device, DWORD function);
BOOL getCommModemStatus(HANDLE device, DWORD* status);
BOOL purgeComm(HANDLE device, DWORD flags);
BOOL cancelIo(HANDLE device);
} // namespace SerialSys

#endif // SERIALSYS_WIN_H
