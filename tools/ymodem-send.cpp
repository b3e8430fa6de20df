// ymodem-send PORT FILE: sends one file by YMODEM (CRC-16) to a receiver on PORT, such as the
// console shell's "receive file" or lrzsz's "rz --ymodem", and closes the batch.
#include "commandline.h"
#include "transfertool.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace
{
const int kRequestLimitMs = 60000; // the receiver's first request (rz asks every 11 s)
const int kMaxNameBytes = 100;     // leaves room for the size in the 128-byte header

const char* const kUsage =
    "usage: ymodem-send [-v] PORT FILE\n"
    "Sends FILE by YMODEM (CRC-16) to the receiver on PORT (a serial device path), such as\n"
    "the console shell's \"receive file\" or \"rz --ymodem\", and closes the batch.\n"
    "  -v         also show the transfer's trace\n"
    "  -h, --help show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 sent; 1 bad arguments, port or file; 2 the receiver did not ask within\n"
    "60 s; 3 the receiver cancelled; else the transfer's result code (a negative one as 100\n"
    "plus its magnitude).\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return TransferTool::SetupFailed;
}
} // namespace

int main(int argc, char* argv[])
{
    if (CommandLine::answer(argc, argv, "ymodem-send", kUsage))
        return TransferTool::Ok;
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool verbose = args.removeAll(QStringLiteral("-v")) > 0;
    if (args.size() != 2)
        return usage();
    const QString portName = args.at(0);
    const QFileInfo info(args.at(1));

    QFile file(info.filePath());
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "ymodem-send: cannot read %s\n", qPrintable(info.filePath()));
        return TransferTool::SetupFailed;
    }
    if (info.fileName().toUtf8().size() > kMaxNameBytes) {
        std::fprintf(stderr, "ymodem-send: file name longer than %d bytes\n", kMaxNameBytes);
        return TransferTool::SetupFailed;
    }
    const QByteArray contents = file.readAll();
    file.close();
    if (contents.size() != info.size()) {
        std::fprintf(stderr, "ymodem-send: %s changed while being read\n",
                     qPrintable(info.filePath()));
        return TransferTool::SetupFailed;
    }

    TransferTool tool(verbose);
    QString why;
    if (!tool.openPort(portName, &why)) {
        std::fprintf(stderr, "ymodem-send: %s: %s\n", qPrintable(portName), qPrintable(why));
        return TransferTool::SetupFailed;
    }

    std::fprintf(stderr, "Waiting for the receiver on %s...\n", qPrintable(portName));
    const int request =
        tool.run([](YMODEM& w) { return TransferTool::waitForRequest(w, kRequestLimitMs); });
    if (request == TransferTool::NoRequest) {
        std::fprintf(stderr, "ymodem-send: the receiver did not ask for a file within %d s\n",
                     kRequestLimitMs / 1000);
        return request;
    }
    if (request == TransferTool::CancelledAtStart) {
        std::fprintf(stderr, "ymodem-send: the receiver cancelled\n");
        return request;
    }

    tool.setProgressLabel(
        QStringLiteral("Sending %1 (%2 bytes):").arg(info.fileName()).arg(info.size()));
    bool batchClosed = false;
    const int result = tool.run([&](YMODEM& w) {
        const int r = w.Ymodem_Transmit_User_Data(contents, info);
        if (r == YmodemCode::Done)
            batchClosed = TransferTool::endBatch(w);
        return r;
    });
    if (result != YmodemCode::Done) {
        std::fprintf(stderr, "ymodem-send: failed with result %d: %s\n", result,
                     qPrintable(TransferTool::meaning(result, true)));
        return TransferTool::exitStatus(result);
    }
    if (!batchClosed)
        std::fprintf(stderr, "Note: the receiver did not acknowledge the end of the batch.\n");
    std::fprintf(stderr, "Sent %s\n", qPrintable(info.fileName()));
    return TransferTool::Ok;
}
