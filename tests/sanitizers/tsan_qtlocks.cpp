// ThreadSanitizer build only: Qt's mutexes and read-write locks live in the uninstrumented Qt
// library and take their locks with futexes, so TSan never sees them held and reports every
// access they guard. These definitions take precedence over Qt's for calls from our own code;
// each calls Qt's own and tells TSan what it did. The same for the end of a QThread: Qt's wait()
// learns it through its own lock, so TSan does not see that the thread's work came before.
#include <QMutex>
#include <QReadWriteLock>
#include <QThread>
#include <QWaitCondition>
#include <QVariant>

#include <cstring>
#include <dlfcn.h>

extern "C" {
void __tsan_acquire(void* addr);
void __tsan_release(void* addr);
}

namespace
{

template <typename Fn> Fn qtOwn(const char* symbol)
{
    static_assert(sizeof(Fn) == sizeof(void*), "plain function pointer");
    void* fn = dlsym(RTLD_NEXT, symbol);
    if (!fn)
        qFatal("tsan_qtlocks: %s not found in Qt", symbol);
    Fn out;
    memcpy(&out, &fn, sizeof fn);
    return out;
}

using Call = void (*)(void*);
using TryCall = bool (*)(void*, int);

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const Call own = qtOwn<Call>("_ZN6QMutex4lockEv");
    own(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const TryCall own = qtOwn<TryCall>("_ZN6QMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const Call own = qtOwn<Call>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

// A wait gives the mutex up and takes it again inside Qt.
bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    using Wait = bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer);
    static const Wait own = qtOwn<Wait>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex* lockedMutex, unsigned long time)
{
    using Wait = bool (*)(QWaitCondition*, QMutex*, unsigned long);
    static const Wait own = qtOwn<Wait>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, time);
    __tsan_acquire(lockedMutex);
    return woken;
}

void QReadWriteLock::lockForRead()
{
    static const Call own = qtOwn<Call>("_ZN14QReadWriteLock11lockForReadEv");
    own(this);
    __tsan_acquire(this);
}

void QReadWriteLock::lockForWrite()
{
    static const Call own = qtOwn<Call>("_ZN14QReadWriteLock12lockForWriteEv");
    own(this);
    __tsan_acquire(this);
}

void QReadWriteLock::unlock()
{
    static const Call own = qtOwn<Call>("_ZN14QReadWriteLock6unlockEv");
    __tsan_release(this);
    own(this);
}

void QThread::start(Priority priority)
{
    using Start = void (*)(QThread*, Priority);
    static const Start own = qtOwn<Start>("_ZN7QThread5startENS_8PriorityE");
    // Runs in the thread as its last act before Qt marks it finished.
    if (!property("tsanFinished").toBool()) {
        setProperty("tsanFinished", true);
        connect(
            this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    }
    own(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    using Wait = bool (*)(QThread*, QDeadlineTimer);
    static const Wait own = qtOwn<Wait>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool finished = own(this, deadline);
    if (finished)
        __tsan_acquire(this);
    return finished;
}
