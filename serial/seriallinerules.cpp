#include "seriallinerules.h"

#include <QtGlobal>

namespace
{

struct BaudInfo {
    quint32 rate;     // line rate set on an open port
    const char* note; // warning logged when set on an open port, or nullptr
};

const BaudInfo baudTable[] = {
    {110,
     "Win_QextSerialPort: Windows does not support 50 baud operation.  Switching to 110 baud."},
    {110,
     "Win_QextSerialPort: Windows does not support 75 baud operation.  Switching to 110 baud."},
    {110, nullptr},
    {110,
     "Win_QextSerialPort: Windows does not support 134.5 baud operation.  Switching to 110 baud."},
    {110,
     "Win_QextSerialPort: Windows does not support 150 baud operation.  Switching to 110 baud."},
    {110,
     "Win_QextSerialPort: Windows does not support 200 baud operation.  Switching to 110 baud."},
    {300, nullptr},
    {600, nullptr},
    {1200, nullptr},
    {1200,
     "Win_QextSerialPort: Windows does not support 1800 baud operation.  Switching to 1200 baud."},
    {2400, nullptr},
    {4800, nullptr},
    {9600, nullptr},
    {14400, "Win_QextSerialPort Portability Warning: POSIX does not support 14400 baud operation."},
    {19200, nullptr},
    {38400, nullptr},
    {56000, "Win_QextSerialPort Portability Warning: POSIX does not support 56000 baud operation."},
    {57600, nullptr},
    {57600, "Win_QextSerialPort: Windows does not support 76800 baud operation.  Switching to "
            "57600 baud."},
    {115200, nullptr},
    {128000,
     "Win_QextSerialPort Portability Warning: POSIX does not support 128000 baud operation."},
    {256000,
     "Win_QextSerialPort Portability Warning: POSIX does not support 256000 baud operation."},
};

const int baudTableSize = int(sizeof baudTable / sizeof baudTable[0]);

// Two stop bits need more than 5 data bits, 1.5 stop bits exactly 5: a setting that breaks this
// keeps the one stored before.
bool framingAllowed(DataBitsType data, StopBitsType stop)
{
    return !(data == Data5 && stop == Stop2) && !(stop == Stop1_5 && data != Data5);
}

} // namespace

void SerialLineRules::storeBaudRate(SerialSettings* settings, BaudRateType rate)
{
    if (settings->baudRate == rate)
        return;
    switch (rate) {
    case Baud50:
    case Baud75:
    case Baud134:
    case Baud150:
    case Baud200:
        settings->baudRate = Baud110;
        break;
    case Baud1800:
        settings->baudRate = Baud1200;
        break;
    case Baud76800:
        settings->baudRate = Baud57600;
        break;
    default:
        settings->baudRate = rate;
        break;
    }
}

void SerialLineRules::applyBaudRate(SerialPlatform::LineConfig* config, BaudRateType rate)
{
    // A rate outside the table leaves the line's current rate in place.
    if (int(rate) < 0 || int(rate) >= baudTableSize)
        return;
    const BaudInfo& info = baudTable[int(rate)];
    config->baudRate = info.rate;
    if (info.note)
        qWarning("%s", info.note);
}

void SerialLineRules::storeDataBits(SerialSettings* settings, DataBitsType bits)
{
    if (framingAllowed(bits, settings->stopBits))
        settings->dataBits = bits;
}

void SerialLineRules::applyDataBits(const SerialSettings& settings,
                                    SerialPlatform::LineConfig* config, DataBitsType bits)
{
    switch (bits) {
    case Data5:
        if (settings.stopBits == Stop2)
            qWarning("Win_QextSerialPort: 5 Data bits cannot be used with 2 stop bits.");
        else
            config->byteSize = 5;
        break;
    case Data6:
    case Data7:
    case Data8: {
        const int size = 5 + int(bits); // Data6 is 1, Data8 is 3
        if (settings.stopBits == Stop1_5)
            qWarning("Win_QextSerialPort: %d Data bits cannot be used with 1.5 stop bits.", size);
        else
            config->byteSize = size;
        break;
    }
    }
}

void SerialLineRules::storeStopBits(SerialSettings* settings, StopBitsType bits)
{
    if (framingAllowed(settings->dataBits, bits))
        settings->stopBits = bits;
}

void SerialLineRules::applyStopBits(const SerialSettings& settings,
                                    SerialPlatform::LineConfig* config, StopBitsType bits)
{
    switch (bits) {
    case Stop1:
        config->stopBits = Stop1;
        break;
    case Stop1_5:
        qWarning("Win_QextSerialPort Portability Warning: 1.5 stop bit operation is not supported "
                 "by POSIX.");
        if (settings.dataBits == Data5)
            config->stopBits = Stop1_5;
        else
            qWarning("Win_QextSerialPort: 1.5 stop bits can only be used with 5 data bits");
        break;
    case Stop2:
        if (settings.dataBits == Data5)
            qWarning("Win_QextSerialPort: 2 stop bits cannot be used with 5 data bits");
        else
            config->stopBits = Stop2;
        break;
    }
}

void SerialLineRules::applyParity(const SerialSettings& settings,
                                  SerialPlatform::LineConfig* config, ParityType parity)
{
    config->parity = int(parity);
    switch (parity) {
    case ParityNone:
        config->fParity = false;
        break;
    case ParityOdd:
    case ParityEven:
        config->fParity = true;
        break;
    case ParityMark:
        qWarning("Win_QextSerialPort Portability Warning:  Mark parity is not supported by POSIX "
                 "systems");
        config->fParity = true;
        break;
    case ParitySpace:
        if (settings.dataBits == Data8)
            qWarning("Win_QextSerialPort Portability Warning: Space parity with 8 data bits is not "
                     "supported by POSIX systems.");
        config->fParity = true;
        break;
    }
}

void SerialLineRules::applyFlowControl(SerialPlatform::LineConfig* config, FlowControlType flow)
{
    switch (flow) {
    case FlowOff:
        config->fOutxCtsFlow = false;
        config->fOutX = false;
        config->fInX = false;
        config->fRtsControl = SerialPlatform::RtsDisable;
        break;
    case FlowHardware:
        config->fOutX = false;
        config->fInX = false;
        config->fOutxCtsFlow = true;
        config->fRtsControl = SerialPlatform::RtsHandshake;
        break;
    case FlowXonXoff:
        config->fOutxCtsFlow = false;
        config->fRtsControl = SerialPlatform::RtsDisable;
        config->fOutX = true;
        config->fInX = true;
        break;
    }
}

void SerialLineRules::prepareConfig(SerialPlatform::LineConfig* config)
{
    config->fBinary = true;
    config->fOutX = false;
    config->fInX = false;
    config->fNull = false;
    config->fAbortOnError = false;
}

SerialPlatform::Timeouts SerialLineRules::timeouts(long ms)
{
    SerialPlatform::Timeouts t;
    t.readInterval = quint32(ms);
    t.readTotalMultiplier = 0;
    t.readTotalConstant = ms == -1 ? 0 : quint32(ms);
    t.writeTotalMultiplier = quint32(ms);
    t.writeTotalConstant = 0;
    return t;
}

SerialPlatform::Timeouts SerialLineRules::immediateTimeouts()
{
    SerialPlatform::Timeouts t; // totals and multipliers 0
    t.readInterval = SerialPlatform::MaxTimeout;
    return t;
}
