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

// Queues `slot` with one argument on `target`, then waits for the GUI thread to have processed it
// and reads back the state the widget took.
template <typename T, typename W, typename Read>
bool queueAndCompare(W* target, const char* slot, const char* typeName, const T& requested,
                     Read read, int timeoutMs)
{
    if (!QMetaObject::invokeMethod(target, slot, Qt::QueuedConnection,
                                   QGenericArgument(typeName, static_cast<const void*>(&requested))))
        return false;
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
    if (!box)
        return false;
    if (onThreadOf(box)) {
        box->setValue(value);
        return box->value() == value;
    }
    return queueAndCompare<int>(box, "setValue", "int", value,
                                [](QSpinBox* b) { return b->value(); }, timeoutMs);
}

bool setValue(QDoubleSpinBox* box, double value, int timeoutMs)
{
    if (!box)
        return false;
    if (onThreadOf(box)) {
        box->setValue(value);
        return box->value() == value;
    }
    return queueAndCompare<double>(box, "setValue", "double", value,
                                   [](QDoubleSpinBox* b) { return b->value(); }, timeoutMs);
}

bool setCurrentIndex(QComboBox* box, int index, int timeoutMs)
{
    if (!box)
        return false;
    if (onThreadOf(box)) {
        box->setCurrentIndex(index);
        return box->currentIndex() == index;
    }
    return queueAndCompare<int>(box, "setCurrentIndex", "int", index,
                                [](QComboBox* b) { return b->currentIndex(); }, timeoutMs);
}

bool setChecked(QAbstractButton* button, bool checked, int timeoutMs)
{
    if (!button)
        return false;
    if (onThreadOf(button)) {
        button->setChecked(checked);
        return button->isChecked() == checked;
    }
    return queueAndCompare<bool>(button, "setChecked", "bool", checked,
                                 [](QAbstractButton* b) { return b->isChecked(); }, timeoutMs);
}

bool setChecked(QGroupBox* box, bool checked, int timeoutMs)
{
    if (!box)
        return false;
    if (onThreadOf(box)) {
        box->setChecked(checked);
        return box->isChecked() == checked;
    }
    return queueAndCompare<bool>(box, "setChecked", "bool", checked,
                                 [](QGroupBox* b) { return b->isChecked(); }, timeoutMs);
}

bool setEnabled(QWidget* widget, bool enabled, int timeoutMs)
{
    if (!widget)
        return false;
    if (onThreadOf(widget)) {
        widget->setEnabled(enabled);
        return !widget->testAttribute(Qt::WA_ForceDisabled) == enabled;
    }
    // isEnabled also depends on the parent; the widget's own wish is what was requested.
    return queueAndCompare<bool>(widget, "setEnabled", "bool", enabled,
                                 [](QWidget* w) { return !w->testAttribute(Qt::WA_ForceDisabled); },
                                 timeoutMs);
}

bool setStyleSheet(QWidget* widget, const QString& styleSheet, int timeoutMs)
{
    if (!widget)
        return false;
    if (onThreadOf(widget)) {
        widget->setStyleSheet(styleSheet);
        return widget->styleSheet() == styleSheet;
    }
    return queueAndCompare<QString>(widget, "setStyleSheet", "QString", styleSheet,
                                    [](QWidget* w) { return w->styleSheet(); }, timeoutMs);
}

} // namespace widgetsync
