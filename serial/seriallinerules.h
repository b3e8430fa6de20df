#ifndef SERIALLINERULES_H
#define SERIALLINERULES_H

#include "qextserialbase.h"
#include "serialplatform.h"

// How the port's stored settings map to the platform's configuration and time-outs records. A
// store function decides what the settings keep of a request; an apply function writes the
// request into the record of an open port, with the warnings for what the line cannot do.
class SerialLineRules
{
public:
    static void storeBaudRate(SerialSettings* settings, BaudRateType rate);
    static void applyBaudRate(SerialPlatform::LineConfig* config, BaudRateType rate);

    static void storeDataBits(SerialSettings* settings, DataBitsType bits);
    static void applyDataBits(const SerialSettings& settings, SerialPlatform::LineConfig* config,
                              DataBitsType bits);

    static void storeStopBits(SerialSettings* settings, StopBitsType bits);
    static void applyStopBits(const SerialSettings& settings, SerialPlatform::LineConfig* config,
                              StopBitsType bits);

    static void applyParity(const SerialSettings& settings, SerialPlatform::LineConfig* config,
                            ParityType parity);
    static void applyFlowControl(SerialPlatform::LineConfig* config, FlowControlType flow);

    // A binary line with no software flow control, as every open starts from.
    static void prepareConfig(SerialPlatform::LineConfig* config);
    // The blocking transfers of PolledIo: ms per read interval and as the total, -1 for none.
    static SerialPlatform::Timeouts timeouts(long ms);
    // EventIo: a read returns at once with what has arrived.
    static SerialPlatform::Timeouts immediateTimeouts();
};

#endif // SERIALLINERULES_H
