#include "widgetsync.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QSpinBox>
#include <QWidget>

namespace widgetsync {

namespace {

void reportTimeout(const QObject* target, int timeoutMs)
{
    qWarning().noquote() << QStringLiteral("Элемент \"%1\" не применил изменение за %2 мс")
                                .arg(target ? target->objectName() : QString())
                                .arg(timeoutMs);
}

// Sets `target` through its slot `slot` with one argument and answers whether the widget now shows
// `requested`, as `read` gives it. On the widget's own thread the slot is called directly; from any
// other thread it is queued and the caller waits, bounded, until the GUI thread has carried it out.
template <typename T, typename W, typename Read>
bool setAndRead(W* target, const char* slot, const char* typeName, const T& requested, Read read,
                int timeoutMs)
{
    if (!target)
        return false;
    const bool direct = onThreadOf(target);
    if (!QMetaObject::invokeMethod(target, slot, direct ? Qt::DirectConnection : Qt::QueuedConnection,
                                   QGenericArgument(typeName, static_cast<const void*>(&requested))))
        return false;
    if (direct)
        return read(target) == requested;
    // Queued calls to one receiver run in order, so once this read has run the change has too.
    struct Taken { bool valid = false; T value{}; };
    const Taken taken = query<Taken>(target, [target, read] { return Taken{ true, read(target) }; },
                                     Taken{}, timeoutMs);
    if (!taken.valid) {
        reportTimeout(target, timeoutMs);
        return false;
    }
    return taken.value == requested;
}

} // namespace

bool runOn(QObject* target, std::function<void()> work, int timeoutMs)
{
    if (!target)
        return false;
    if (onThreadOf(target)) {
        work();
        return true;
    }
    auto done = QSharedPointer<QSemaphore>::create();
    QMetaObject::invokeMethod(target, [done, work] {
        work();
        done->release();
    }, Qt::QueuedConnection);
    if (done->tryAcquire(1, timeoutMs))
        return true;
    reportTimeout(target, timeoutMs);
    return false;
}

void post(QObject* target, std::function<void()> work)
{
    if (!target)
        return;
    if (onThreadOf(target))
        work();
    else
        QMetaObject::invokeMethod(target, work, Qt::QueuedConnection);
}

bool setValue(QSpinBox* box, int value, int timeoutMs)
{
    return setAndRead(box, "setValue", "int", value, [](QSpinBox* b) { return b->value(); }, timeoutMs);
}

bool setValue(QDoubleSpinBox* box, double value, int timeoutMs)
{
    return setAndRead(box, "setValue", "double", value, [](QDoubleSpinBox* b) { return b->value(); },
                      timeoutMs);
}

bool setCurrentIndex(QComboBox* box, int index, int timeoutMs)
{
    return setAndRead(box, "setCurrentIndex", "int", index,
                      [](QComboBox* b) { return b->currentIndex(); }, timeoutMs);
}

bool setChecked(QAbstractButton* button, bool checked, int timeoutMs)
{
    return setAndRead(button, "setChecked", "bool", checked,
                      [](QAbstractButton* b) { return b->isChecked(); }, timeoutMs);
}

bool setChecked(QGroupBox* box, bool checked, int timeoutMs)
{
    return setAndRead(box, "setChecked", "bool", checked, [](QGroupBox* b) { return b->isChecked(); },
                      timeoutMs);
}

bool setEnabled(QWidget* widget, bool enabled, int timeoutMs)
{
    // isEnabled also depends on the parent; the widget's own wish is what was requested.
    return setAndRead(widget, "setEnabled", "bool", enabled,
                      [](QWidget* w) { return !w->testAttribute(Qt::WA_ForceDisabled); }, timeoutMs);
}

bool setStyleSheet(QWidget* widget, const QString& styleSheet, int timeoutMs)
{
    return setAndRead(widget, "setStyleSheet", "QString", styleSheet,
                      [](QWidget* w) { return w->styleSheet(); }, timeoutMs);
}

} // namespace widgetsync
