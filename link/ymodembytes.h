#ifndef YMODEMBYTES_H
#define YMODEMBYTES_H

// The protocol's control bytes, as the YMODEM sender and receiver write and read them.
namespace YmodemByte
{
constexpr char SOH = 0x01; // a 128-byte block follows
constexpr char STX = 0x02; // a 1024-byte block follows
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr char CrcRequest = 'C'; // the receiver asks for blocks with CRC-16
} // namespace YmodemByte

#endif // YMODEMBYTES_H
