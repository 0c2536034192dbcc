#include "widgetsync.h"

#include <QDebug>

namespace widgetsync {

namespace {

void reportTimeout(const QObject* target, int timeoutMs)
{
    qWarning().noquote() << QStringLiteral("Элемент \"%1\" не применил изменение за %2 мс")
                                .arg(target ? target->objectName() : QString())
                                .arg(timeoutMs);
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

} // namespace widgetsync
