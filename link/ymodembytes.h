#ifndef YMODEMBYTES_H
#define YMODEMBYTES_H

// The control bytes of the YMODEM link.
namespace YmodemBytes
{
constexpr char SOH = 0x01; // a block with 128 data bytes
constexpr char STX = 0x02; // a block with 1024 data bytes
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;       // two in a row end a transfer
constexpr char CrcRequest = 'C'; // a receiver asks for a block in CRC mode
constexpr char Pad = 0x1A;       // fills the rest of the last data block
} // namespace YmodemBytes

#endif // YMODEMBYTES_H
