// Tells ThreadSanitizer how Qt's own libraries hand data from one thread to another.
//
// The distribution's Qt is not built with ThreadSanitizer, and its mutexes and semaphores work on
// futexes directly, so TSan sees none of the ordering they make: every value our code hands to
// another thread through a queued call, a semaphore or a contended mutex would be reported as a race.
// scripts/check.sh preloads this library (built without instrumentation) into every process of a
// TSan run. Where Qt's exported functions show a hand-over, it reports the ordering to TSan, exactly
// as the hidden synchronisation provides it:
//  - an event posted to a thread: Qt queues it under the thread's event-queue mutex, then wakes the
//    thread's GLib main context (g_main_context_wakeup, called from outside Qt's library). That call
//    is a release on the context; every event a thread delivers (QInternal's event-notify callback,
//    before the receiver sees the event) is an acquire on the context of the delivering thread.
//    A call queued with a functor (QMetaObject::invokeMethod) is also a release on the receiving
//    thread's context as it is posted: the receiving thread, awake for something else, may take the
//    event from its queue before the poster gets to the wake-up, and the functor was built in our
//    code, which TSan sees;
//  - the end of a QThread: as the thread ends, Qt deletes its event dispatcher, which gives up the
//    thread's GLib main context (g_main_context_unref; the context is known as the thread's from
//    when its dispatcher made it the thread's own): a release on the QThread object (not on the
//    context, whose memory GLib may free at once); QThread::wait() and isFinished() answering that
//    the thread has ended: an acquire on the QThread object;
//  - QSemaphore: release() is a release, an acquire that succeeded is an acquire;
//  - QMutex: lock(), tryLock() and unlock() (out of line in Qt 5, so all of their work is in Qt's
//    library); the slow paths lockInternal() and unlockInternal() of QBasicMutex, whose fast paths
//    are inline atomic operations that TSan sees in our code.
// It does nothing in a process without the TSan runtime.
#include <QtCore/qmutex.h>
#include <QtCore/qnamespace.h>
#include <QtCore/qobject.h>
#include <QtCore/qsemaphore.h>
#include <QtCore/qthread.h>

#include <dlfcn.h>

#include <mutex>
#include <unordered_map>

// GLib's main context, known only by address here (GLib comes with Qt's core library).
typedef struct _GMainContext GMainContext;

extern "C" {
void __tsan_acquire(void* addr) __attribute__((weak));
void __tsan_release(void* addr) __attribute__((weak));
}

namespace {

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void acquire(const void* addr)
{
    if (__tsan_acquire) __tsan_acquire(const_cast<void*>(addr));
}

void release(const void* addr)
{
    if (__tsan_release) __tsan_release(const_cast<void*>(addr));
}

// What a waiting call of Qt answered; when it got what it waited for, an acquire on `addr`.
bool acquiredIf(bool got, const void* addr)
{
    if (got) acquire(addr);
    return got;
}

GMainContext* defaultContext()
{
    static const auto get = reinterpret_cast<GMainContext* (*)()>(dlsym(RTLD_DEFAULT, "g_main_context_default"));
    return get ? get() : nullptr;
}

GMainContext* contextOfThisThread()
{
    static const auto get =
        reinterpret_cast<GMainContext* (*)()>(dlsym(RTLD_DEFAULT, "g_main_context_get_thread_default"));
    GMainContext* context = get ? get() : nullptr;
    return context ? context : defaultContext();
}

// The thread whose event dispatcher made each context its own, for the release as it ends.
std::mutex threadsLock;
std::unordered_map<const GMainContext*, const QThread*> threadOf;

bool eventDelivered(void**)
{
    acquire(contextOfThisThread());
    return false; // deliver as usual
}

void releaseEndOf(const GMainContext* context)
{
    std::lock_guard<std::mutex> lock(threadsLock);
    auto found = threadOf.find(context);
    if (found == threadOf.end() || found->second != QThread::currentThread()) return;
    release(found->second);
    threadOf.erase(found);
}

// A release on the context of the thread that `object` lives on (the default context when that thread
// has not made one its own).
void releaseToThreadOf(const QObject* object)
{
    const QThread* thread = object ? object->thread() : nullptr;
    const GMainContext* context = defaultContext();
    {
        std::lock_guard<std::mutex> lock(threadsLock);
        for (const auto& entry : threadOf) {
            if (entry.second == thread) {
                context = entry.first;
                break;
            }
        }
    }
    release(context);
}

__attribute__((constructor)) void install()
{
    if (__tsan_acquire) QInternal::registerCallback(QInternal::EventNotifyCallback, eventDelivered);
}

} // namespace

extern "C" void g_main_context_wakeup(GMainContext* context)
{
    static const auto real = next<void (*)(GMainContext*)>("g_main_context_wakeup");
    release(context ? context : defaultContext());
    real(context);
}

// Qt's event dispatcher makes its context the thread's own as it is created on the thread.
extern "C" void g_main_context_push_thread_default(GMainContext* context)
{
    static const auto real = next<void (*)(GMainContext*)>("g_main_context_push_thread_default");
    real(context);
    std::lock_guard<std::mutex> lock(threadsLock);
    threadOf[context ? context : defaultContext()] = QThread::currentThread();
}

extern "C" void g_main_context_unref(GMainContext* context)
{
    static const auto real = next<void (*)(GMainContext*)>("g_main_context_unref");
    release(context);
    releaseEndOf(context);
    real(context);
}

bool QMetaObject::invokeMethodImpl(QObject* object, QtPrivate::QSlotObjectBase* slot, Qt::ConnectionType type, void* ret)
{
    static const auto real = next<bool (*)(QObject*, QtPrivate::QSlotObjectBase*, Qt::ConnectionType, void*)>(
        "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    releaseToThreadOf(object);
    return real(object, slot, type, ret);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto real = next<bool (*)(QThread*, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    return acquiredIf(real(this, deadline), this);
}

bool QThread::wait(unsigned long time)
{
    static const auto real = next<bool (*)(QThread*, unsigned long)>("_ZN7QThread4waitEm");
    return acquiredIf(real(this, time), this);
}

bool QThread::isFinished() const
{
    static const auto real = next<bool (*)(const QThread*)>("_ZNK7QThread10isFinishedEv");
    return acquiredIf(real(this), this);
}

void QSemaphore::release(int n)
{
    static const auto real = next<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7releaseEi");
    ::release(this);
    real(this, n);
}

void QSemaphore::acquire(int n)
{
    static const auto real = next<void (*)(QSemaphore*, int)>("_ZN10QSemaphore7acquireEi");
    real(this, n);
    ::acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    static const auto real = next<bool (*)(QSemaphore*, int)>("_ZN10QSemaphore10tryAcquireEi");
    return acquiredIf(real(this, n), this);
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    static const auto real = next<bool (*)(QSemaphore*, int, int)>("_ZN10QSemaphore10tryAcquireEii");
    return acquiredIf(real(this, n, timeout), this);
}

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<void (*)(QBasicMutex*)>("_ZN11QBasicMutex12lockInternalEv");
    real(this);
    acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<bool (*)(QBasicMutex*, int)>("_ZN11QBasicMutex12lockInternalEi");
    return acquiredIf(real(this, timeout), this);
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto real = next<void (*)(QBasicMutex*)>("_ZN11QBasicMutex14unlockInternalEv");
    release(this);
    real(this);
}

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    real(this);
    acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto real = next<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    return acquiredIf(real(this, timeout), this);
}

void QMutex::unlock() noexcept
{
    static const auto real = next<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    release(this);
    real(this);
}
