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
    //
    // The sample arrays of the records stay shared with the sender after synthesis, so that the
    // next synthesis of the same lengths reuses their memory instead of asking the system for
    // fresh pages (which costs far more than filling them). Read the samples through const access
    // (constData, at): writing into a record's samples would copy the array.
    int synthesize(bool cyclic);
    // Everything synthesize does but the transfer of block 0: the plan, the samples of every
    // channel, block 0 interleaved and turned into words. Same result and messages.
    int prepareFirstBlock(bool cyclic);
    // Gives the kept sample arrays back (they are otherwise kept until the next synthesis).
    void releaseSamples();
    bool startOutput();
    bool stopOutput();
    bool isRunning() const { return running.available() > 0; }

    // Read-only views for the module object and tests.
    unsigned int transferWordCount() const { return transferWords; }
    int blockPeriod() const { return blockPeriodMs; }
    int blocks() const { return blockCount; }
    QTimer* pacingTimer() { return &timer; }
    int lastSentCount() const { return sentCount; }
    int currentBlock() const { return blockIndex; }
    const QVector<quint32>& blockWords() const { return words; }
    const QVector<double>& interleavedBlock() const { return interleaved; }

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
    // Shared copies of the sample arrays of the last synthesis, reused by the next one.
    QVector<QVector<double>> samplePool;
};

#endif
