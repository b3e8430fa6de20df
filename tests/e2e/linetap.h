#ifndef LINETAP_H
#define LINETAP_H

#include "ptypair.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

// A cable with a tap: the updater opens portPath(), a pseudo-terminal of the tap's own, and the
// tap relays every byte to and from the console's pseudo-terminal. A test may rewrite what the
// console sends (fromConsole) to play a console fault the simulated console has no option for.
class LineTap
{
public:
    explicit LineTap(const QString& consolePath);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    bool start(QString* error);
    void stop();
    QString portPath() const { return updaterSide.slavePath(); }

    // Everything the updater has sent to the console so far.
    QByteArray sentToConsole() const;

    // Called on the tap's thread with each chunk from the console; returns what the updater
    // gets instead. Set before start().
    std::function<QByteArray(const QByteArray&)> fromConsole;

private:
    void run();
    static bool writeAll(int fd, const QByteArray& data);

    QString consolePath;
    PtyPair updaterSide;
    int consoleFd = -1;
    std::thread relay;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    QByteArray sent;
};

#endif // LINETAP_H
