// The receiver's packet layer fed arbitrary bytes through the worker's capture buffer, as the
// port's thread would leave them there: whatever the line carried, Receive_Packet must stay
// inside its buffers and only hand on packets whose framing and CRC hold.
#include "timescale.h"
#include "ymodem.h"
#include "ymodemtestaccess.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{
// The capture buffer holds 16384 bytes; onReadyRead never fills it beyond one less.
const int kCaptureLimit = 16383;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

YMODEM* worker()
{
    static YMODEM* w = new YMODEM;
    return w;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    // A packet that never completes is waited for; keep that wait to a few milliseconds.
    TimeScale::setFactor(0.001);
    qInstallMessageHandler(quiet);
    // The trace goes to standard output; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char*>(data),
                          int(qMin<size_t>(size, kCaptureLimit)));

    YMODEM& w = *worker();
    YmodemTestAccess::setRxBytes(w, line);
    char packet[1024 + 5];
    const YmodemReceiver::Packet got = w.Receive_Packet(packet);

    if (YmodemTestAccess::rxCount(w) != 0)
        abort(); // the packet and what lay beyond it are taken
    using Kind = YmodemReceiver::PacketKind;
    if (got.kind != Kind::Block) {
        if (got.length != 0 || (got.kind == Kind::Silence && !line.isEmpty()))
            abort();
        return 0;
    }
    const int length = got.length;
    if (length != 128 && length != 1024)
        abort();
    const auto* p = reinterpret_cast<const unsigned char*>(packet);
    if (p[2] != quint8(0xFF - p[1]))
        abort();
    if (YMODEM::Crc16_Compute(p + 3, length) != quint16((p[length + 3] << 8) | p[length + 4]))
        abort();
    if (line.size() < length + 5 || memcmp(packet, line.constData(), size_t(length + 5)) != 0)
        abort();
    return 0;
}
