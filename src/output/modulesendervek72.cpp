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

void critical(const QString& text)
{
    qCritical("%s", qUtf8Printable(text));
}

} // namespace

int ModuleSenderVek72::applyConfiguration(bool cyclic, double dacRate)
{
    handle->config.outputMode = cyclic ? 0 : 1;
    handle->config.dacEnable = 1;
    VEK72_FillOutFreq(&handle->config, dacRate, nullptr);
    const int result = VEK72_Configure(handle);
    noteResult(result);
    return result;
}

bool ModuleSenderVek72::configure(bool cyclic, double dacRate)
{
    const int result = applyConfiguration(cyclic, dacRate);
    if (result != VEK72_OK)
        logVek72Error(QStringLiteral("Не удалось установить настройки ЦАП: Ошибка %1 (%2)"), result);
    return result == VEK72_OK;
}

int ModuleSenderVek72::synthesize(bool cyclic)
{
    if (prepareFirstBlock(cyclic) == 0)
        return 0;
    // The page, or the stream's first chunk, goes whole, or the start is refused.
    if (!took(sendPending(1000))) {
        pendingCount = 0;
        return 0;
    }
    return blockPeriodMs;
}

int ModuleSenderVek72::prepareFirstBlock(bool cyclic)
{
    blockPeriodMs = 0;
    pendingCount = 0;
    QList<ChannelSignal> signalList;
    {
        QMutexLocker locker(mutex);
        signalList = *outputData;
    }

    // Plan: the common length and every channel's whole periods.
    const double rate = handle->state.outputRate;
    const int enabled = handle->state.enabledChannels;
    const synthesis::Plan plan = synthesis::makePlan(signalList, rate, cyclic);
    if (!plan.ok()) {
        critical(plan.message);
        return 0;
    }
    const int n = signalList.size();
    if (enabled != n) {
        // The words are laid out by the module's count of enabled channels; with another count
        // they would land on the wrong outputs.
        critical(QStringLiteral("Число включенных каналов модуля (%1) не совпадает с числом "
                                "сигналов (%2)").arg(enabled).arg(n));
        return 0;
    }
    source = synthesis::FrameSource(plan);
    chunkFrames = qBound<qint64>(1, qint64(std::ceil(rate * chunkMs / 1000.0)),
                                 VEK72_FIFO_WORDS / (freeChunks + 2) / n);
    const qint64 first = cyclic ? plan.length : chunkFrames;

    // Memory first, so that nothing is filled, let alone sent, when it runs short: the page's
    // words (cyclic) and one chunk.
    bool allocated = first * n <= synthesis::maxArraySamples();
    try {
        if (allocated && cyclic && words.size() != first * n) {
            words = QVector<quint32>();
            words.resize(int(first * n));
        } else if (!cyclic) {
            words = QVector<quint32>();
        }
        chunkSamples.resize(int(chunkFrames * n));
        chunkWords.resize(int(chunkFrames * n));
    } catch (const std::bad_alloc&) {
        allocated = false;
    }
    if (!allocated) {
        source = synthesis::FrameSource();
        words = QVector<quint32>();
        transferWords = 0;
        critical(synthesis::noMemoryText());
        return 0;
    }

    // The first transfer as words: the page chunk by chunk, or the stream's first chunk, whose
    // frames the stream goes on from.
    int prepared = VEK72_OK;
    if (cyclic) {
        for (qint64 from = 0; from < first && prepared == VEK72_OK; from += chunkFrames) {
            const qint64 count = std::min(chunkFrames, first - from);
            source.fill(chunkSamples.data(), from, count);
            prepared = VEK72_PrepareDacData(handle, chunkSamples.constData(), quint32(n * count),
                                            VEK72_PREPARE_VOLTS, words.data() + n * from, nullptr);
        }
        // The page is made; no frame is filled again until the next synthesis.
        source = synthesis::FrameSource();
        pending = words.constData();
        pendingCount = int(first * n);
    } else {
        streamFrame = 0;
        wordsQueued = 0;
        sendInFlight = false;
        freshStream = true;
        if (!prepareChunk())
            return 0;
    }
    if (prepared != VEK72_OK) {
        pendingCount = 0;
        logVek72Error(QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)"), prepared);
        return 0;
    }

    // Results into the records and the sender.
    {
        QMutexLocker locker(mutex);
        for (int i = 0; i < n && i < outputData->size(); ++i)
            (*outputData)[i].frequency = plan.channels.at(i).frequency;
    }
    signalFrames = plan.length;
    transferWords = quint32(first * n);
    blockPeriodMs = int(std::clamp<qint64>(qint64(std::ceil(double(first) * 1000.0 / rate)), 1, INT_MAX));
    return blockPeriodMs;
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
        pageFrames = signalFrames;
        running.release();
        return true;
    }

    // Streaming. The first chunk is in the FIFO already (a stream started again without synthesis
    // begins anew); what follows it goes in before the start, up to the lead (or as much as the
    // FIFO takes), so that the first ticks are never late. A send taken short here is handled as
    // the ticks' are: what was not taken goes first with the next send.
    const int channels = source.channelCount();
    const double rate = handle->state.outputRate;
    if (source.isEmpty() || rate <= 0) {
        lock.unlock();
        qCritical("Нет данных для вывода");
        return false;
    }
    if (!freshStream) {
        streamFrame = 0;
        wordsQueued = 0;
        pendingCount = 0;
    }
    freshStream = false;
    sendInFlight = false;
    wordsPlayedBefore = 0;
    wordRate = rate * channels;
    const qint64 chunk = chunkFrames * channels;
    const qint64 fifoLimit = qint64(VEK72_FIFO_WORDS) - freeChunks * chunk;
    aheadWords = qBound<qint64>(chunk, qint64(std::ceil(wordRate * aheadTargetMs / 1000.0)), fifoLimit);
    leadWords = std::min(qint64(std::ceil(rate * leadMs / 1000.0)) * channels, aheadWords);
    while (wordsQueued < leadWords && wordsQueued + chunk <= qint64(VEK72_FIFO_WORDS)) {
        if (pendingCount == 0 && !prepareChunk())
            break;
        if (!took(sendPending(1000)))
            break;
    }
    const int result = VEK72_StreamStart(handle, 0);
    noteResult(result);
    if (result != VEK72_OK) {
        lock.unlock();
        logVek72Error(QStringLiteral("Не удалось запустить генерацию данных в потоковом режиме! Ошибка %1 (%2)"), result);
        return false;
    }
    streamClock.start();
    leadClock.start();
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
        if (VEK72_IsOpened(handle) != 0) {
            // The connection was given up while this stop was on its way (its loss is reported):
            // there is nothing left to ask, nor anything more to say.
        } else if (!handle->state.running) {
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
    // Topped up to the output held ahead, which the FIFO always has room for: the module takes all
    // of it at once, so no send waits. The handle lock is taken for one chunk at a time, so that a
    // change, a stop or a call of the module's waits for one send at most.
    bool complete = true;
    for (int sent = 0; complete && sent < tickChunks; ++sent) {
        QMutexLocker lock(handleLock);
        if (!streamActive || !answerInFlight())
            return;
        if (bufferedWords() + pendingOrChunk() > targetWords())
            break;
        if (pendingCount == 0 && !prepareChunk())
            return;
        const int result = sendPending(0);
        if (result == VEK72_E_TIMEOUT) {
            sendInFlight = true;
            return;
        }
        complete = took(result);
    }
    // A refusing module is asked again later, not at once.
    const int interval = complete ? tickMs : retryTickMs;
    if (timer.interval() != interval)
        timer.setInterval(interval);
}

bool ModuleSenderVek72::answerInFlight()
{
    if (!sendInFlight)
        return true;
    // The service has not answered the last send: ask without waiting. Meanwhile the module plays
    // what it holds; only when that is used up is the connection given up.
    const int result = VEK72_SendResult(handle, 0);
    noteResult(result);
    if (result == VEK72_E_TIMEOUT) {
        if (bufferedWords() <= 0)
            loseConnection();
        return false;
    }
    sendInFlight = false;
    // None of it reached the service (the time-out came before a word went): sent again.
    return result == 0 || took(result);
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
    // What was not taken goes with the next send: no frame is lost or cut, so every word still
    // reaches its own output.
    if (result > 0) {
        wordsQueued += result;
        pending += result;
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

qint64 ModuleSenderVek72::targetWords() const
{
    const double grown = double(leadWords) + leadGrowth * wordRate * double(leadClock.elapsed()) / 1000.0;
    return std::min(aheadWords, qint64(grown));
}

void ModuleSenderVek72::loseConnection()
{
    // Ticks find the stream inactive; the timer is stopped when the output is given up. Reported on
    // the sender's thread whichever thread found the loss: a start or a change that finds it holds
    // the locks that the handling of the loss takes.
    streamActive = false;
    sendInFlight = false;
    connectionExpected = false;
    if (!lossReported.exchange(true))
        QMetaObject::invokeMethod(this, &ModuleSenderVek72::connectionLost, Qt::QueuedConnection);
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
        if (synthesize(true) == 0)
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
        pageFrames = signalFrames;
        return true;
    }

    // Streaming: the new signals are planned while the old ones go on being sent.
    double rate = 0.0;
    int enabled = 0;
    {
        QMutexLocker lock(handleLock);
        rate = handle->state.outputRate;
        enabled = handle->state.enabledChannels;
    }
    const synthesis::Plan plan = synthesis::makePlan(fresh, rate, false);
    if (!plan.ok()) {
        critical(plan.message);
        return false;
    }
    if (plan.channels.size() != enabled)
        return false;   // another configuration: the change takes the full restart
    for (int i = 0; i < fresh.size(); ++i)
        fresh[i].frequency = plan.channels.at(i).frequency;
    // Made before the lock; the signals it replaces go after it (declared first, destroyed last).
    synthesis::FrameSource next(plan);
    QMutexLocker lock(handleLock);
    if (!streamActive || sendInFlight)
        return false;
    const int channels = next.channelCount();
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
    leadClock.start();
    std::swap(source, next);
    streamFrame = position % source.length();
    signalFrames = source.length();
    {
        QMutexLocker samples(mutex);
        *outputData = fresh;
    }
    // The cut left the module only the next moments: the first chunk of the new signals follows at
    // once, the rest of the lead with the next tick, which comes now, and what is held ahead grows
    // back from there.
    if (prepareChunk()) {
        const int result = sendPending(0);
        if (result == VEK72_E_TIMEOUT)
            sendInFlight = true;
        else
            took(result);
    }
    QMetaObject::invokeMethod(this, &ModuleSenderVek72::dataSender, Qt::QueuedConnection);
    return true;
}

bool ModuleSenderVek72::prepareChunk()
{
    const int channels = source.channelCount();
    const qint64 count = chunkFrames * channels;
    if (chunkSamples.size() != count) {
        chunkSamples.resize(int(count));
        chunkWords.resize(int(count));
    }
    const qint64 next = source.fill(chunkSamples.data(), streamFrame, chunkFrames);
    const int result = VEK72_PrepareDacData(handle, chunkSamples.constData(), quint32(count),
                                            VEK72_PREPARE_VOLTS, chunkWords.data(), nullptr);
    if (result != VEK72_OK) {
        logVek72Error(QStringLiteral("Ошибка генерации данных. Ошибка %1 (%2)"), result);
        return false;
    }
    streamFrame = next;
    pending = chunkWords.constData();
    pendingCount = int(count);
    return true;
}

int ModuleSenderVek72::sendPending(quint32 timeoutMs)
{
    const int result = VEK72_Send(handle, pending, quint32(pendingCount), timeoutMs);
    noteResult(result);
    return result;
}
