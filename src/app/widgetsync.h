#ifndef WIDGETSYNC_H
#define WIDGETSYNC_H

#include <QMetaObject>
#include <QObject>
#include <QSemaphore>
#include <QSharedPointer>
#include <QThread>

#include <functional>


// Work on the thread of an object that is not the caller's. The module object's slots run on the
// module thread while the panels live on the GUI thread: work for the widgets is queued to the GUI
// thread and, where the caller needs its result, the caller waits until it has run. Every wait is
// bounded, and when the caller already is the object's thread the work runs directly (a queued
// call to yourself while you wait for it would never run).
namespace widgetsync {

// Upper bound of one wait for the GUI thread.
constexpr int defaultTimeoutMs = 5000;

inline bool onThreadOf(const QObject* target)
{
    return target && target->thread() == QThread::currentThread();
}

// Runs `work` on the thread of `target` and waits, at most timeoutMs, until it has run. `work`
// must capture by value: after a time-out it may still run later. False when `target` is null
// or the time-out passed.
bool runOn(QObject* target, std::function<void()> work, int timeoutMs = defaultTimeoutMs);

// Runs `work` on the thread of `target` without waiting (directly when already there).
void post(QObject* target, std::function<void()> work);

// Reads a value on the thread of `target` (bounded wait; directly when already there). Returns
// `fallback` when the value could not be read in time or `target` is null.
template <typename R>
R query(QObject* target, std::function<R()> read, R fallback, int timeoutMs = defaultTimeoutMs)
{
    // Shared with the work, which may still run after a wait that gave up.
    auto value = QSharedPointer<R>::create(fallback);
    if (!runOn(target, [value, read] { *value = read(); }, timeoutMs))
        return fallback;
    return *value;
}

} // namespace widgetsync

#endif
