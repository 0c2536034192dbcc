#include "modulesendervek72.h"

#include <QMutex>
#include <QMutexLocker>
#include <QElapsedTimer>
#include <QThread>
#include <QtGlobal>

#include <cmath>

#include <algorithm>
#include <climits>
#include <new>
#include <vector>

#include "synthesis.h"
#include "vek72error.h"
#include "widgetsync.h"

ModuleSenderVek72::ModuleSenderVek72(TVEK72* handle, QList<ChannelSignal>* outputData, QMutex* mutex,
                                     QMutex* handleLock)
    : handle(handle), outputData(outputData), mutex(mutex),
      handleLock(handleLock ? handleLock : &ownHandleLock), timer(this), watch(this)
{
    timer.setInterval(tickMs);
    connect(&timer, &QTimer::timeout, this, &ModuleSenderVek72::dataSender);
    watch.setInterval(watchMs);
    connect(&watch, &QTimer::timeout, this, &ModuleSenderVek72::watchConnection);
    clock.start();
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
    return send(words.constData(), int(transferWords)) ? blockPeriodMs : 0;
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

bool ModuleSenderVek72::startOutput()
{
    // The state lock is held to the end: two starts never both find the output stopped.
    QMutexLocker state(&stateLock);
    if (stopping.available() > 0) {
        qWarning("Модуль в процессе остановки");
        state.unlock();
        // The stop in progress on another thread ends in bounded time; then start.
        QElapsedTimer clock;
        clock.start();
        while (running.available() > 0 && clock.elapsed() < 30000)
            QThread::yieldCurrentThread();
        state.relock();
    }
    if (running.available() > 0) {
        qWarning("Модуль уже запущен");
        return false;
    }

    QMutexLocker lock(handleLock);
    if (handle->config.outputMode == 0) {
        const int result = VEK72_SwitchCyclePage(handle, 0, 1000);
        noteResult(result);
        if (result != VEK72_OK) {
            lock.unlock();
            logVek72Error(QStringLiteral("Не удалось запустить генерацию данных в циклическом режиме! Ошибка %1 (%2)"), result);
            return false;
        }
        pageStartMs = clock.elapsed();
        pageFrames = outputData->isEmpty() ? 0 : outputData->at(0).samples.size();
        running.release();
        return true;
    }

    // Streaming. Block 0 is in the FIFO already; what follows it goes in before the start, up to
    // the lead (or as much as the FIFO takes), so that the first ticks are never late.
    const int channels = outputData->size();
    const double rate = handle->state.outputRate;
    const qint64 length = channels > 0 ? outputData->at(0).samples.size() : 0;
    if (channels == 0 || length == 0 || rate <= 0) {
        lock.unlock();
        qCritical("Нет данных для вывода");
        return false;
    }
    const qint64 blockFrames = transferWords / quint32(channels);
    chunkFrames = qBound<qint64>(1, qint64(std::ceil(rate * chunkMs / 1000.0)),
                                 VEK72_FIFO_WORDS / (freeChunks + 2) / channels);
    streamFrame = blockFrames % length;
    pendingCount = 0;
    sendInFlight = false;
    wordsQueued = qint64(blockFrames) * channels;
    wordsPlayedBefore = 0;
    wordRate = rate * channels;
    const qint64 fifoLimit = qint64(VEK72_FIFO_WORDS) - freeChunks * chunkFrames * channels;
    aheadWords = qBound<qint64>(chunkFrames * channels, qint64(std::ceil(wordRate * aheadTargetMs / 1000.0)), fifoLimit);
    qint64 buffered = blockFrames;
    const qint64 lead = qint64(std::ceil(rate * leadMs / 1000.0));
    while (buffered < lead && (buffered + chunkFrames) * channels <= qint64(VEK72_FIFO_WORDS)) {
        if (!prepareChunk() || !took(sendPending(1000)))
            break;
        buffered += chunkFrames;
    }
    const int result = VEK72_StreamStart(handle, 0);
    noteResult(result);
    if (result != VEK72_OK) {
        lock.unlock();
        logVek72Error(QStringLiteral("Не удалось запустить генерацию данных в потоковом режиме! Ошибка %1 (%2)"), result);
        return false;
    }
    streamClock.start();
    streamActive = true;
    starveReported = false;
    running.release();
    lock.unlock();
    switchTimer(true);
    return true;
}

bool ModuleSenderVek72::stopOutput()
{
    return endOutput(true);
}

void ModuleSenderVek72::abandonOutput()
{
    endOutput(false);
}

bool ModuleSenderVek72::endOutput(bool askModule)
{
    {
        QMutexLocker state(&stateLock);
        if (running.available() == 0 || stopping.available() > 0) {
            if (askModule)
                qWarning(running.available() == 0 ? "Модуль не был запущен" : "Модуль в процессе остановки");
            return false;
        }
        stopping.release();
    }

    // No tick sends from here on: a send in progress ends first (the lock), later ticks find the
    // stream inactive, and the timer stops on its own thread.
    {
        QMutexLocker lock(handleLock);
        streamActive = false;
        sendInFlight = false;
    }
    switchTimer(false);

    bool stopped = false;
    if (askModule) {
        QMutexLocker lock(handleLock);
        if (!handle->state.running) {
            qWarning("Модуль не был запущен");
        } else {
            const int result = VEK72_Stop(handle, 0);
            noteResult(result);
            if (result != VEK72_OK)
                qWarning("%s", qUtf8Printable(QStringLiteral("Генерация остановлена с ошибкой. Ошибка %1 (%2)")
                                                  .arg(result).arg(vek72ErrorText(result))));
            stopped = result == VEK72_OK;
        }
    }
    QMutexLocker state(&stateLock);
    stopping.acquire();
    running.acquire();
    return stopped;
}

bool ModuleSenderVek72::switchTimer(bool on)
{
    QTimer* pacing = &timer;
    const bool done = widgetsync::runOn(pacing, [pacing, on] {
        if (on)
            pacing->start(tickMs);
        else
            pacing->stop();
    });
    if (!done)
        qWarning("Таймер передачи данных не ответил вовремя");
    return done;
}

void ModuleSenderVek72::dataSender()
{
    QMutexLocker lock(handleLock);
    if (!streamActive)
        return;
    if (sendInFlight) {
        // The service has not answered the last send: ask without waiting. Meanwhile the module
        // plays what it holds; only when that is used up is the connection given up.
        const int result = VEK72_SendResult(handle, 0);
        noteResult(result);
        if (result == VEK72_E_TIMEOUT) {
            if (bufferedWords() <= 0)
                loseConnection();
            return;
        }
        sendInFlight = false;
        // None of it reached the service (the time-out came before a word went): sent again below.
        if (result != 0 && !took(result))
            return;
    }
    // Topped up to the output held ahead, which the FIFO always has room for: the module takes all
    // of it at once, so no send waits.
    bool complete = true;
    while (streamActive && bufferedWords() + pendingOrChunk() <= aheadWords) {
        if (pendingCount == 0 && !prepareChunk())
            return;
        const int result = sendPending(0);
        if (result == VEK72_E_TIMEOUT) {
            sendInFlight = true;
            return;
        }
        complete = took(result);
        if (!complete)
            break;
    }
    // A refusing module is asked again later, not at once.
    const int interval = complete ? tickMs : retryTickMs;
    if (timer.interval() != interval)
        timer.setInterval(interval);
}

bool ModuleSenderVek72::took(int result)
{
    sentCount = result;
    if (result == pendingCount) {
        wordsQueued += result;
        pendingCount = 0;
        return true;
    }
    if (result < 0 && VEK72_IsOpened(handle) != VEK72_OK) {
        loseConnection();
        return false;
    }
    critical(result < 0 ? QStringLiteral("Ошибка при отправке данных модулю!")
                        : QStringLiteral("Ошибка! Количество отправленных сэмплов не равно заданному!"));
    // What was not taken goes with the next tick: no frame is lost or cut, so every word still
    // reaches its own output.
    if (result > 0) {
        wordsQueued += result;
        pendingFrom += result;
        pendingCount -= result;
    }
    // The module has played all it was given and takes nothing more: it would hold its last level.
    if (streamActive && bufferedWords() <= 0)
        starve();
    return false;
}

qint64 ModuleSenderVek72::pendingOrChunk() const
{
    return pendingCount > 0 ? pendingCount : chunkFrames * outputData->size();
}

qint64 ModuleSenderVek72::bufferedWords()
{
    const qint64 played = wordsPlayedBefore + qint64(double(streamClock.elapsed()) * wordRate / 1000.0);
    if (played > wordsQueued) {
        // The module ran dry (an underrun, which it counts): from here it plays what comes next.
        wordsPlayedBefore -= played - wordsQueued;
        return 0;
    }
    return wordsQueued - played;
}

void ModuleSenderVek72::loseConnection()
{
    // Ticks find the stream inactive; the timer is stopped when the output is given up.
    streamActive = false;
    sendInFlight = false;
    connectionExpected = false;
    if (!lossReported.exchange(true))
        emit connectionLost();
}

void ModuleSenderVek72::starve()
{
    streamActive = false;
    if (!starveReported) {
        starveReported = true;
        emit outputStarved();
    }
}

void ModuleSenderVek72::noteResult(int result)
{
    silent.store(result == VEK72_E_TIMEOUT);
}

void ModuleSenderVek72::expectConnection(bool open)
{
    connectionExpected = open;
    if (open)
        lossReported.store(false);
}

void ModuleSenderVek72::startWatch()
{
    watch.start();
}

void ModuleSenderVek72::watchConnection()
{
    // Never waits for the handle: a call in progress on another thread finds out by itself.
    if (!handleLock->tryLock())
        return;
    const bool lost = connectionExpected && VEK72_IsOpened(handle) != VEK72_OK;
    if (lost)
        loseConnection();
    handleLock->unlock();
}

bool ModuleSenderVek72::changeSignals(QList<ChannelSignal> fresh, bool cyclic)
{
    if (!isRunning() || isStopping())
        return false;
    if (cyclic) {
        QMutexLocker lock(handleLock);
        const double rate = handle->state.outputRate;
        {
            QMutexLocker samples(mutex);
            *outputData = fresh;
        }
        // The new page, whole, to the module's loading page; the old one plays meanwhile.
        if (prepareFirstBlock(true) == 0 || !send(words.constData(), int(transferWords)))
            return false;
        // Where the old page's pass ends: the new page follows it there without a break, unless
        // that is too far off.
        const qint64 now = clock.elapsed();
        qint64 endMs = now;
        if (pageFrames > 0 && rate > 0) {
            if (pageStartMs > now) {
                endMs = pageStartMs;   // a switch is still due: the old page ends its pass there
            } else {
                const double played = double(now - pageStartMs) * rate / 1000.0;
                const double left = double(pageFrames) - std::fmod(played, double(pageFrames));
                endMs = now + qint64(std::ceil(left * 1000.0 / rate));
            }
        }
        const bool atPassEnd = endMs - now <= switchWaitMs;
        const int result = VEK72_SwitchCyclePage(handle, atPassEnd ? VEK72_SWITCH_AT_PASS_END : 0u, 1000);
        noteResult(result);
        if (result != VEK72_OK) {
            lock.unlock();
            logVek72Error(QStringLiteral("Не удалось запустить генерацию данных в циклическом режиме! Ошибка %1 (%2)"), result);
            return false;
        }
        pageStartMs = atPassEnd ? endMs : now;
        pageFrames = outputData->isEmpty() ? 0 : outputData->at(0).samples.size();
        return true;
    }

    // Streaming: the new signals are filled while the old ones go on being sent.
    double rate = 0.0;
    {
        QMutexLocker lock(handleLock);
        rate = handle->state.outputRate;
    }
    synthesis::Plan plan;
    if (!synthesis::synthesizeAll(fresh, rate, false, &plan)) {
        critical(plan.ok() ? synthesis::noMemoryText() : plan.message);
        return false;
    }
    QMutexLocker lock(handleLock);
    if (!streamActive || sendInFlight)
        return false;
    const int channels = fresh.size();
    const qint64 length = fresh.at(0).samples.size();
    // What the module holds beyond the next moments is dropped; the new signals follow from there.
    // Each channel's sample of a stream position is that position within its own signal, so a
    // channel that did not change goes on at the phase it had reached.
    uint64_t nextFrame = 0;
    const qint64 keep = qint64(std::ceil(rate * cutKeepMs / 1000.0)) * channels;
    const int kept = VEK72_StreamCut(handle, quint32(keep), &nextFrame);
    noteResult(kept);
    if (kept < 0) {
        // Left as it was; the change takes the full restart.
        lock.unlock();
        logVek72Error(QStringLiteral("Не удалось заменить данные в потоке. Ошибка %1 (%2)"), kept);
        return false;
    }
    const qint64 position = qint64(nextFrame);
    wordsQueued = position * channels;
    wordsPlayedBefore = wordsQueued - kept - qint64(double(streamClock.elapsed()) * wordRate / 1000.0);
    pendingCount = 0;
    pendingFrom = 0;
    {
        QMutexLocker samples(mutex);
        *outputData = fresh;
    }
    streamFrame = position % length;
    return true;
}

bool ModuleSenderVek72::prepareChunk()
{
    const QList<ChannelSignal>& signalList = *outputData;
    const int channels = signalList.size();
    const qint64 length = signalList.at(0).samples.size();
    const qint64 count = chunkFrames * channels;
    if (chunkSamples.size() != count) {
        chunkSamples.resize(int(count));
        chunkWords.resize(int(count));
    }
    std::vector<const double*> sources(static_cast<size_t>(channels));
    qint64 done = 0;
    qint64 frame = streamFrame;
    while (done < chunkFrames) {
        // Whole frames up to the end of the signals, then from their start again.
        const qint64 run = std::min(chunkFrames - done, length - frame);
        for (int i = 0; i < channels; ++i)
            sources[size_t(i)] = signalList.at(i).samples.constData() + frame;
        synthesis::interleaveFrames(sources.data(), channels, chunkSamples.data() + done * channels, run);
        done += run;
        frame = (frame + run) % length;
    }
    const int result = VEK72_PrepareDacData(handle, chunkSamples.constData(), quint32(count),
                                            VEK72_PREPARE_VOLTS, chunkWords.data(), nullptr);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)"), result);
        return false;
    }
    streamFrame = frame;
    pendingFrom = 0;
    pendingCount = int(count);
    return true;
}

bool ModuleSenderVek72::send(const quint32* from, int count)
{
    sentCount = VEK72_Send(handle, from, quint32(count), 1000);
    noteResult(sentCount);
    if (sentCount == count)
        return true;
    critical(sentCount < 0 ? QStringLiteral("Ошибка при отправке данных модулю!")
                           : QStringLiteral("Ошибка! Количество отправленных сэмплов не равно заданному!"));
    return false;
}

int ModuleSenderVek72::sendPending(quint32 timeoutMs)
{
    const int result = VEK72_Send(handle, chunkWords.constData() + pendingFrom, quint32(pendingCount), timeoutMs);
    noteResult(result);
    return result;
}
