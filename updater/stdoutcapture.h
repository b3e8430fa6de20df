#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

// Taps the process's standard output while it is active: every byte written to it, by any
// thread and by printf as well as by Qt, is handed to the sink and still reaches wherever
// standard output went before. The system calls live in the platform file.
class StdoutCapture
{
public:
    // Called from a reader thread of the capture's own, never from the caller's thread.
    using Sink = std::function<void(const QByteArray&)>;

    explicit StdoutCapture(Sink sink);
    ~StdoutCapture();

    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Returns false with a reason when standard output cannot be tapped.
    bool start(QString* error = nullptr);
    // Puts standard output back; every byte written before returns has reached the sink.
    void stop();
    bool isActive() const;

private:
    struct Private;
    Sink sink;
    std::unique_ptr<Private> d;
};

#endif // STDOUTCAPTURE_H
