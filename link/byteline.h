#ifndef BYTELINE_H
#define BYTELINE_H

#include <QByteArray>

// The line a YMODEM sender or receiver talks over. Direct input hands out single bytes with a
// short wait; buffered input (the receiver's) is gathered by the line itself as it arrives and
// taken a packet at a time. Writes go out whole, in one call.
class ByteLine
{
public:
    virtual ~ByteLine() = default;

    // One byte of direct input within the line's short wait: 1 (c holds it), 0 (nothing came,
    // c is 0) or -1 (the read failed, c unchanged).
    virtual int readByte(char& c) = 0;
    // Writes the bytes in one call; false when the line did not take them.
    virtual bool write(const char* data, int size) = 0;
    bool write(const QByteArray& bytes) { return write(bytes.constData(), bytes.size()); }
    bool writeByte(char c) { return write(&c, 1); }
    // Drops everything that waits to be read, captured or not.
    virtual void flushInput() = 0;
    // The line is gone (hang-up, device removed) or closed.
    virtual bool lost() = 0;

    // ---- Buffered input ----
    // How many bytes are captured; the first two of them go to firstTwo (when there are).
    virtual int captured(char firstTwo[2]) = 0;
    // Waits at most ms for more input to arrive.
    virtual void waitForInput(int ms) = 0;
    // Copies at most max captured bytes to buffer and empties the capture (what lies beyond max
    // is dropped). Returns how many bytes were captured.
    virtual int takeCaptured(char* buffer, int max) = 0;
    // Input has come that the capture did not take (it overran); false where a line cannot
    // tell.
    virtual bool uncapturedInput() { return false; }
};

#endif // BYTELINE_H
