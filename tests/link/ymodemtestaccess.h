#ifndef YMODEMTESTACCESS_H
#define YMODEMTESTACCESS_H

#include "ymodem.h"

#include <QMutexLocker>
#include <cstring>

// Reaches the worker's private state for the tests (YMODEM names this class a friend).
class YmodemTestAccess
{
public:
    static int rxCount(YMODEM& w)
    {
        QMutexLocker lock(&w.rxMutex);
        return w.rxCount;
    }
    static void setRxCount(YMODEM& w, int n)
    {
        QMutexLocker lock(&w.rxMutex);
        w.rxCount = n;
    }
    // Puts bytes into the capture buffer as onReadyRead would (at most its size less one).
    static void setRxBytes(YMODEM& w, const QByteArray& bytes)
    {
        QMutexLocker lock(&w.rxMutex);
        memcpy(w.rxBuffer, bytes.constData(), size_t(bytes.size()));
        w.rxCount = bytes.size();
    }
    static QByteArray rxBytes(YMODEM& w, int from, int count)
    {
        QMutexLocker lock(&w.rxMutex);
        return QByteArray(w.rxBuffer + from, count);
    }
    static void setRxCapture(YMODEM& w, int v) { w.rxCapture = v; }
    static int rxCapture(YMODEM& w) { return w.rxCapture; }

    static bool preserveSettings(YMODEM& w) { return w.preserveSettings; }
    static bool rescueRequested(YMODEM& w) { return w.rescueRequested; }
    static QStringList queryList(YMODEM& w) { return *w.queryList; }
    static int verChanged(YMODEM& w) { return w.verChanged; }
    static int minVerChanged(YMODEM& w) { return w.minVerChanged; }
    static bool runFlag(YMODEM& w) { return w.runFlag; }
    static QTimer* statusTimer(YMODEM& w) { return w.statusTimer; }
    static QString statusText(YMODEM& w) { return w.statusText; }
    static void setStatus(YMODEM& w, const QString& text) { w.setStatus(text); }

    // What the last query found; read on the worker's thread (or while it is idle).
    struct QueryFlags {
        bool settingsChanged = false;
        bool versionTooOld = false;
        bool versionUnreadable = false;
        int deviceVersion = 0;
        QString deviceSerial;
        bool stillInLoader = false;
        bool preserveSettings = false;
    };
    static QueryFlags queryFlags(YMODEM& w)
    {
        QueryFlags f;
        f.settingsChanged = w.settingsChanged;
        f.versionTooOld = w.versionTooOld;
        f.versionUnreadable = w.versionUnreadable;
        f.deviceVersion = w.deviceVersion;
        f.deviceSerial = w.deviceSerial;
        f.stillInLoader = w.stillInLoader;
        f.preserveSettings = w.preserveSettings;
        return f;
    }
    static bool keepConsoleCopy(YMODEM& w) { return w.keepConsoleCopy; }
    static QString ownReceiveFolder(YMODEM& w) { return w.receiveFolder.own(); }
};

#endif // YMODEMTESTACCESS_H
