#ifndef WIDGETSYNC_H
#define WIDGETSYNC_H

#include <QMetaObject>
#include <QObject>
#include <QSemaphore>
#include <QSharedPointer>
#include <QString>
#include <QThread>

#include <functional>

class QAbstractButton;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QSpinBox;
class QWidget;

// Changing widgets from a thread that is not theirs. The module object's slots run on the module
// thread while the panels live on the GUI thread: a change is queued to the widget by name and,
// for "set and wait", the caller waits until the GUI thread has carried it out. Every wait is
// bounded, and when the caller already is the widget's thread the change is made directly (a
// queued call to yourself while you wait for it would never run).
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
    if (!target)
        return fallback;
    if (onThreadOf(target))
        return read();
    struct State { QSemaphore done; R value; };
    auto state = QSharedPointer<State>::create();
    state->value = fallback;
    QMetaObject::invokeMethod(target, [state, read] {
        state->value = read();
        state->done.release();
    }, Qt::QueuedConnection);
    if (!state->done.tryAcquire(1, timeoutMs))
        return fallback;
    return state->value;
}

// Set and wait. Each queues the widget's slot by name ("setValue", "setCurrentIndex",
// "setChecked", "setEnabled", "setStyleSheet"), waits until the GUI thread has processed it, and
// answers whether the widget now shows the requested state. A request that the widget cannot take
// exactly (a value outside its range, more decimals than it shows) ends the wait all the same.
bool setValue(QSpinBox* box, int value, int timeoutMs = defaultTimeoutMs);
bool setValue(QDoubleSpinBox* box, double value, int timeoutMs = defaultTimeoutMs);
bool setCurrentIndex(QComboBox* box, int index, int timeoutMs = defaultTimeoutMs);
bool setChecked(QAbstractButton* button, bool checked, int timeoutMs = defaultTimeoutMs);
bool setChecked(QGroupBox* box, bool checked, int timeoutMs = defaultTimeoutMs);
bool setEnabled(QWidget* widget, bool enabled, int timeoutMs = defaultTimeoutMs);
bool setStyleSheet(QWidget* widget, const QString& styleSheet, int timeoutMs = defaultTimeoutMs);

// Set alone: queue the named slot with one argument and do not wait (direct on the widget's own
// thread). False when the object is null or has no such slot.
template <typename T>
bool set(QObject* target, const char* slot, const char* typeName, const T& value)
{
    if (!target)
        return false;
    return QMetaObject::invokeMethod(target, slot, Qt::AutoConnection,
                                     QGenericArgument(typeName, static_cast<const void*>(&value)));
}

} // namespace widgetsync

#endif
