#include "modulesendervek72.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtGlobal>

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "synthesis.h"
#include "vek72error.h"

ModuleSenderVek72::ModuleSenderVek72(TVEK72* handle, QList<ChannelSignal>* outputData, QMutex* mutex)
    : handle(handle), outputData(outputData), mutex(mutex)
{
    timer.setInterval(1000);
    connect(&timer, &QTimer::timeout, this, &ModuleSenderVek72::dataSender);
}

ModuleSenderVek72::~ModuleSenderVek72() = default;

namespace {

// Frames of block 0 that are filled, interleaved and turned into words in one go, while they are
// still in the cache.
constexpr qint64 framesPerChunk = 1024;

void critical(const QString& text)
{
    qCritical("%s", qUtf8Printable(text));
}

} // namespace

int ModuleSenderVek72::synthesize(bool cyclic)
{
    if (prepareFirstBlock(cyclic) == 0)
        return 0;

    // Block 0 to the module.
    sentCount = VEK72_Send(handle, words.constData(), transferWords, 1000);
    if (sentCount != int(transferWords)) {
        critical(sentCount < 0 ? QStringLiteral("Ошибка при отправке данных модулю!")
                               : QStringLiteral("Ошибка! Количество отправленных сэмплов не "
                                                "равно заданному!"));
        return 0;
    }
    return blockPeriodMs;
}

int ModuleSenderVek72::prepareFirstBlock(bool cyclic)
{
    blockPeriodMs = 0;
    QMutexLocker locker(mutex);
    QList<ChannelSignal>& signalList = *outputData;

    // Plan: the common length, the blocks and every channel's whole periods.
    const double rate = handle->state.outputRate;
    const int enabled = handle->state.enabledChannels;
    const synthesis::Plan plan = synthesis::makePlan(signalList, rate, cyclic);
    if (!plan.ok()) {
        locker.unlock();
        critical(plan.message);
        return 0;
    }
    const int n = signalList.size();
    if (enabled != n) {
        // The words are laid out by the module's count of enabled channels; with another count
        // they would land on the wrong outputs.
        locker.unlock();
        critical(QStringLiteral("Число включенных каналов модуля (%1) не совпадает с числом "
                                "сигналов (%2)").arg(enabled).arg(n));
        return 0;
    }
    const qint64 length = plan.length;
    const qint64 perBlock = plan.samplesPerBlock;
    const qint64 blockSamples = perBlock * n;

    // Memory first, so that nothing is filled, let alone sent, when it runs short. The records
    // let go of their arrays; kept arrays of the right length are taken over, the others freed
    // before anything new is allocated.
    for (ChannelSignal& s : signalList)
        s.samples = QVector<double>();
    QVector<QVector<double>> arrays(n);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < samplePool.size(); ++k) {
            if (samplePool.at(k).size() == length && samplePool.at(k).isDetached()) {
                arrays[i] = std::move(samplePool[k]);
                samplePool.remove(k);
                break;
            }
        }
    }
    samplePool.clear();
    bool allocated = true;
    for (int i = 0; allocated && i < n; ++i) {
        if (arrays.at(i).size() != length)
            allocated = synthesis::allocateSamples(arrays[i], length);
    }
    if (allocated && interleaved.size() != blockSamples)
        allocated = synthesis::allocateSamples(interleaved, blockSamples);
    if (allocated && words.size() != blockSamples) {
        words = QVector<quint32>();
        try {
            words.resize(int(blockSamples));
        } catch (const std::bad_alloc&) {
            allocated = false;
        }
    }
    if (!allocated) {
        arrays.clear();
        interleaved = QVector<double>();
        words = QVector<quint32>();
        transferWords = 0;
        locker.unlock();
        critical(synthesis::noMemoryText());
        return 0;
    }

    // Fill. Block 0 goes chunk by chunk: every channel's samples are computed into a small
    // buffer, interleaved from there, and the interleaved chunk is turned into words while it is
    // still in the cache; samples and interleaved frames go to their arrays past the cache. The
    // rest of the signal (streaming mode) is filled afterwards.
    std::vector<synthesis::ChannelFiller> fillers;
    fillers.reserve(n);
    for (int i = 0; i < n; ++i)
        fillers.emplace_back(plan.channels.at(i), length);
    std::vector<double> scratch(size_t(2 * n * framesPerChunk));
    std::vector<double*> pieces(n);
    for (int i = 0; i < n; ++i)
        pieces[i] = scratch.data() + i * framesPerChunk;
    double* const frames = scratch.data() + n * framesPerChunk;
    int prepared = 0;
    for (qint64 from = 0; from < perBlock; from += framesPerChunk) {
        const qint64 count = std::min(perBlock - from, framesPerChunk);
        for (int i = 0; i < n; ++i) {
            fillers[i].fillInto(pieces[i], from, from + count);
            synthesis::storeStreaming(arrays[i].data() + from, pieces[i], count);
        }
        synthesis::interleaveFrames(pieces.data(), n, frames, count);
        synthesis::storeStreaming(interleaved.data() + n * from, frames, n * count);
        if (prepared == 0) {
            prepared = VEK72_PrepareDacData(handle, frames, quint32(n * count), VEK72_PREPARE_VOLTS,
                                            words.data() + n * from, nullptr);
        }
    }
    for (int i = 0; i < n; ++i)
        fillers[i].fillStreaming(arrays[i].data(), perBlock, length);

    // Results into the records and the sender.
    for (int i = 0; i < n; ++i) {
        ChannelSignal& s = signalList[i];
        s.samples = std::move(arrays[i]);
        s.frequency = plan.channels.at(i).frequency;
        samplePool.append(s.samples);
    }
    blockCount = int(plan.blockCount);
    transferWords = quint32(blockSamples);
    blockPeriodMs = int(std::min<qint64>(plan.blockPeriodMs, INT_MAX));
    blockIndex = 0;
    locker.unlock();

    if (prepared != 0) {
        logVek72Error(QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)"), prepared);
        return 0;
    }
    return blockPeriodMs;
}

void ModuleSenderVek72::releaseSamples()
{
    QMutexLocker locker(mutex);
    samplePool.clear();
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
