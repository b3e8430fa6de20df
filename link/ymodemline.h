#ifndef YMODEMLINE_H
#define YMODEMLINE_H

#include "byteline.h"

class YMODEM;

// The worker's port as a ByteLine: direct input through yTransmitRead, buffered input through
// the worker's capture buffer (filled by onReadyRead on the port's thread); both wait on the
// port's own input report.
class YmodemLine : public ByteLine
{
public:
    explicit YmodemLine(YMODEM& worker) : w(worker) {}

    int readByte(char& c) override;
    bool write(const char* data, int size) override;
    using ByteLine::write;
    void flushInput() override;
    bool lost() override;
    int captured(char firstTwo[2]) override;
    void waitForInput(int ms) override;
    int takeCaptured(char* buffer, int max) override;
    bool uncapturedInput() override;

private:
    YMODEM& w;
};

#endif // YMODEMLINE_H
