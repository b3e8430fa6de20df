// The real Win32 calls behind SerialSys.
#include "serialsys_win.h"

HANDLE SerialSys::createFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                             DWORD flags)
{
    return ::CreateFileA(path, access, share, nullptr, disposition, flags, nullptr);
}

BOOL SerialSys::closeHandle(HANDLE device)
{
    return ::CloseHandle(device);
}

BOOL SerialSys::getCommState(HANDLE device, DCB* dcb)
{
    return ::GetCommState(device, dcb);
}

BOOL SerialSys::setCommState(HANDLE device, DCB* dcb)
{
    return ::SetCommState(device, dcb);
}

BOOL SerialSys::setCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts)
{
    return ::SetCommTimeouts(device, timeouts);
}

BOOL SerialSys::setCommMask(HANDLE device, DWORD mask)
{
    return ::SetCommMask(device, mask);
}

BOOL SerialSys::waitCommEvent(HANDLE device, DWORD* mask, OVERLAPPED* overlapped)
{
    return ::WaitCommEvent(device, mask, overlapped);
}

BOOL SerialSys::getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred,
                                    BOOL wait)
{
    return ::GetOverlappedResult(device, overlapped, transferred, wait);
}

BOOL SerialSys::readFile(HANDLE device, void* data, DWORD size, OVERLAPPED* overlapped)
{
    return ::ReadFile(device, data, size, nullptr, overlapped);
}

BOOL SerialSys::writeFile(HANDLE device, const void* data, DWORD size, OVERLAPPED* overlapped)
{
    return ::WriteFile(device, data, size, nullptr, overlapped);
}

BOOL SerialSys::clearCommError(HANDLE device, DWORD* errors, COMSTAT* status)
{
    return ::ClearCommError(device, errors, status);
}

BOOL SerialSys::escapeCommFunction(HANDLE device, DWORD function)
{
    return ::EscapeCommFunction(device, function);
}

BOOL SerialSys::getCommModemStatus(HANDLE device, DWORD* status)
{
    return ::GetCommModemStatus(device, status);
}

BOOL SerialSys::purgeComm(HANDLE device, DWORD flags)
{
    return ::PurgeComm(device, flags);
}

BOOL SerialSys::cancelIo(HANDLE device)
{
    return ::CancelIo(device);
}
