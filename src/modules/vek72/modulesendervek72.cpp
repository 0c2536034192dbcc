#include "modulesendervek72.h"

#include <QMutex>
#include <QtGlobal>

ModuleSenderVek72::ModuleSenderVek72(TVEK72* handle, QList<ChannelSignal>* outputData, QMutex* mutex)
    : handle(handle), outputData(outputData), mutex(mutex)
{
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &ModuleSenderVek72::dataSender);
}

ModuleSenderVek72::~ModuleSenderVek72() = default;

// Placeholder until synthesis lands: refuses, so that no output is started from empty buffers.
int ModuleSenderVek72::synthesize(bool cyclic)
{
    Q_UNUSED(cyclic)
    qCritical("Синтез сигнала ещё не реализован");
    return 0;
}

// Placeholder until the sender lands: output is never started.
bool ModuleSenderVek72::startOutput()
{
    qCritical("Запуск вывода ещё не реализован");
    return false;
}

// Placeholder until the sender lands: nothing runs, so there is nothing to stop.
bool ModuleSenderVek72::stopOutput()
{
    if (running.available() == 0) {
        qWarning("Модуль не был запущен");
        return false;
    }
    return false;
}

void ModuleSenderVek72::dataSender()
{
}
