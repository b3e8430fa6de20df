// ymodem-receive PORT DIR: receives one YMODEM (CRC-16) batch from a sender on PORT, such as
// the console shell's "send file" or lrzsz's "sz --ymodem", into the folder DIR.
#include "commandline.h"
#include "transfertool.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdio>

namespace
{
const char* const kUsage =
    "usage: ymodem-receive [-v] PORT DIR\n"
    "Receives one YMODEM (CRC-16) batch from the sender on PORT (a serial device path), such\n"
    "as the console shell's \"send file\" or \"sz --ymodem\", into the folder DIR.\n"
    "  -v         also show the transfer's trace\n"
    "  -h, --help show this help and exit\n"
    "  --version  show the version and exit\n"
    "Exit status: 0 received; 1 bad arguments, port or folder; 6 the file is shorter than its\n"
    "sender said; 7 no file came; else the transfer's result code (a negative one as 100 plus\n"
    "its magnitude).\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return TransferTool::SetupFailed;
}
} // namespace

int main(int argc, char* argv[])
{
    if (CommandLine::answer(argc, argv, "ymodem-receive", kUsage))
        return TransferTool::Ok;
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool verbose = args.removeAll(QStringLiteral("-v")) > 0;
    if (args.size() != 2)
        return usage();
    const QString portName = args.at(0);
    const QFileInfo dir(args.at(1));
    if (!dir.isDir() || !dir.isWritable()) {
        std::fprintf(stderr, "ymodem-receive: %s is not a writable folder\n",
                     qPrintable(dir.filePath()));
        return TransferTool::SetupFailed;
    }

    TransferTool tool(verbose);
    QString why;
    if (!tool.openPort(portName, &why)) {
        std::fprintf(stderr, "ymodem-receive: %s: %s\n", qPrintable(portName), qPrintable(why));
        return TransferTool::SetupFailed;
    }

    QStringList received;
    QObject::connect(tool.worker(), &YMODEM::putUserSettingPath, &tool, [&](const QString& path) {
        received << path;
        tool.setProgressLabel(QStringLiteral("Receiving %1:").arg(path));
    });

    std::fprintf(stderr, "Waiting for the sender on %s...\n", qPrintable(portName));
    const QString folder = dir.absoluteFilePath();
    bool truncated = false;
    const int result = tool.run([&](YMODEM& w) {
        w.setReceiveFolder(folder);
        const int r = w.receiveBatch();
        truncated = w.receivedFileTruncated();
        return r;
    });

    if (result != YmodemCode::Done) {
        std::fprintf(stderr, "ymodem-receive: failed with result %d: %s\n", result,
                     qPrintable(TransferTool::meaning(result, false)));
        return TransferTool::exitStatus(result);
    }
    if (truncated) {
        std::fprintf(stderr,
                     "ymodem-receive: %s is shorter than its sender said: the transfer "
                     "was cut off\n",
                     qPrintable(received.isEmpty() ? folder : received.last()));
        return TransferTool::FileShort;
    }
    if (received.isEmpty()) {
        std::fprintf(stderr, "ymodem-receive: the sender ended without a file\n");
        return TransferTool::NothingReceived;
    }
    for (const QString& path : received)
        std::fprintf(stderr, "Received %s\n", qPrintable(path));
    return TransferTool::Ok;
}
