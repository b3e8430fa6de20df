#include "debugconsole.h"

#include "stdoutcapture.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace
{
// Standard output into a pipe is block-buffered; flushing it this often keeps the window
// current without a line ending ever being needed.
const int flushIntervalMs = 100;
} // namespace

DebugConsole::DebugConsole(QWidget* parent)
    : QWidget(parent, Qt::Window), view(new QPlainTextEdit(this)), flushTimer(new QTimer(this)),
      capture(nullptr)
{
    setWindowTitle(QStringLiteral("Debug Output"));
    view->setReadOnly(true);
    view->setMaximumBlockCount(MaxLines);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    resize(800, 400);

    flushTimer->setInterval(flushIntervalMs);
    connect(flushTimer, &QTimer::timeout, this, [] { std::fflush(stdout); });

    capture = new StdoutCapture([this](const QByteArray& bytes) {
        // Runs in the capture's reader thread; the text is added in the window's thread.
        QMetaObject::invokeMethod(
            this, [this, bytes] { appendBytes(bytes); }, Qt::QueuedConnection);
    });
}

DebugConsole::~DebugConsole()
{
    stopCapture();
    delete capture;
}

bool DebugConsole::startCapture()
{
    QString error;
    if (!capture->start(&error)) {
        view->appendPlainText(
            QStringLiteral("Standard output cannot be shown here (%1).").arg(error));
        return false;
    }
    flushTimer->start();
    return true;
}

void DebugConsole::stopCapture()
{
    if (!capture->isActive())
        return;
    flushTimer->stop();
    capture->stop();
}

bool DebugConsole::isCapturing() const
{
    return capture->isActive();
}

int DebugConsole::lineCount() const
{
    // An empty document still holds one empty block.
    return view->document()->isEmpty() ? 0 : view->document()->blockCount();
}

QString DebugConsole::text() const
{
    return view->toPlainText();
}

void DebugConsole::closeEvent(QCloseEvent* event)
{
    stopCapture();
    QWidget::closeEvent(event);
    emit closed();
}

void DebugConsole::appendBytes(const QByteArray& bytes)
{
    pending.append(bytes);
    const int lastNewline = pending.lastIndexOf('\n');
    if (lastNewline < 0)
        return;
    QByteArray complete = pending.left(lastNewline);
    pending.remove(0, lastNewline + 1);
    complete.replace("\r", "");
    // The trace is Latin-1; one call per chunk keeps ten thousand lines quick.
    view->appendPlainText(QString::fromLatin1(complete));
}
