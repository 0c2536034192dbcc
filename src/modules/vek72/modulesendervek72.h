#ifndef MODULESENDERVEK72_H
#define MODULESENDERVEK72_H

#include <QList>
#include <QObject>
#include <QSemaphore>
#include <QTimer>
#include <QVector>

#include "channelsignal.h"
#include "vek72api.h"

class QMutex;

// Starts, feeds and stops the module's output. In cyclic mode the module repeats the one block that
// synthesis sent; in streaming mode a timer ticks twice per block period and every tick sends one
// half of the word buffer while the other half is refilled from the channels' sample arrays.
class ModuleSenderVek72 : public QObject
{
    Q_OBJECT

public:
    ModuleSenderVek72(TVEK72* handle, QList<ChannelSignal>* outputData, QMutex* mutex);
    ~ModuleSenderVek72() override;

    // Plans the common length, fills every channel's samples, prepares and sends block 0.
    // Returns the block period in milliseconds (at least 1), 0 on failure.
    int synthesize(bool cyclic);
    bool startOutput();
    bool stopOutput();
    bool isRunning() const { return running.available() > 0; }

    // Read-only views for the module object and tests.
    unsigned int transferWordCount() const { return transferWords; }
    int blockPeriod() const { return blockPeriodMs; }
    int blocks() const { return blockCount; }
    QTimer* pacingTimer() { return &timer; }

private slots:
    void dataSender();

private:
    TVEK72* handle;
    QList<ChannelSignal>* outputData;
    QMutex* mutex;
    QSemaphore running;
    QSemaphore stopping;
    unsigned int transferWords = 0;
    int sentCount = 0;
    QVector<quint32> words;
    QVector<double> interleaved;
    QTimer timer;
    int blockPeriodMs = 0;
    int blockCount = 1;
    int blockIndex = 0;
    int tickCount = 0;
    bool firstTick = true;
};

#endif
