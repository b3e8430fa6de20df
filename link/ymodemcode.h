#ifndef YMODEMCODE_H
#define YMODEMCODE_H

// Results of the YMODEM send and receive routines. The negative ones and 10 and 255 are the
// protocol's classic outcomes; 11 to 16 end a transfer that would otherwise never end (or, for 16,
// end as if done), always after cancelling the transfer with CAN CAN. The window shows a positive
// code as "Transfer Failed with error %1".
namespace YmodemCode
{
enum : int {
    Done = 0,
    // Sender: a CAN came, followed by something else. Receiver: a block out of sequence, a file
    // name refused (unusable, or not the one asked for), a file refused (announced larger than
    // YMODEM::kMaxFileBytes, data beyond the size announced or beyond that cap, the session
    // longer than its total bound; what was written of it is removed), or the file could not be
    // created.
    CancelledOnce = -1,
    // Sender: the receiver sent CAN CAN. Receiver: the file could not be written whole.
    CancelledTwice = -2,
    // Receiver: the sender aborted with "A" or "a".
    Aborted = -3,
    EotUnanswered = 10,    // ten EOTs, none acknowledged
    BlockRefused = 11,     // one data block refused (NAK) more than ten times
    BlockUnanswered = 12,  // no answer to a data block within its bound
    HeaderUnanswered = 13, // no ACK for the header within its bound, or the line went (hang-up)
    LineNotQuiet = 14,     // the line never fell quiet before the EOT
    NoSender = 15,         // receiver: nobody started sending within its bound
    BadPackets = 16,       // receiver: more than five failed packets in a row
    TooManyBlocks = 255,   // the file needs more than 16384 data blocks
};
} // namespace YmodemCode

#endif // YMODEMCODE_H
