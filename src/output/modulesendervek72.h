#ifndef MODULESENDERVEK72_H
#define MODULESENDERVEK72_H

#include <QList>
#include <QObject>
#include <QSemaphore>
#include <QTimer>
#include <QVector>

#include "channelsignal.h"
#include "synthesis.h"
#include "vek72api.h"

#include <QElapsedTimer>
#include <QMutex>

#include <atomic>

// Starts, feeds and stops the module's output. In cyclic mode the module repeats the one page that
// synthesis sent; the sender only switches output on and off. In streaming mode the sender keeps
// the module's FIFO filled: a timer on the sender's thread ticks, and every tick sends the next whole
// frames of the channels' signals, filled on demand at the stream position (the signals repeat
// every L frames; nothing of that length is held), as far as the FIFO has room. The sender knows
// how much it has queued and at what rate the module plays it, so it knows how much output the
// module still holds: no send ever waits for room, and a service that stops answering for a while
// is ridden out as long as the module has output left to play.
//
// The sender also watches the connection, in both modes: a connection that the service dropped (the
// service went away) is reported once by connectionLost(), on the sender's thread, within a second.
//
// Every call with the library handle holds the handle lock that the module object shares, so a
// send in progress on the sender's thread and a start, stop or close from another thread never use
// the handle at the same time.
class ModuleSenderVek72 : public QObject
{
    Q_OBJECT

public:
    // `handleLock` guards the handle across threads; null: the sender keeps a lock of its own.
    ModuleSenderVek72(TVEK72* handle, QList<ChannelSignal>* outputData, QMutex* mutex,
                      QMutex* handleLock = nullptr);
    ~ModuleSenderVek72() override;

    // Applies the handle's configuration (its channels as the caller set them) for the mode and DAC
    // rate. False, with the library's error logged, when refused. The caller holds the handle lock
    // (or no other thread uses the handle).
    bool configure(bool cyclic, double dacRate);
    // The same without the log: the library's code, for callers that retry or say it their way.
    int applyConfiguration(bool cyclic, double dacRate);
    // Plans the common length, writes the achieved frequencies into the records and makes the first
    // transfer: in cyclic mode the whole page (every channel's L samples, as module words), in
    // streaming mode the first chunk of the stream, whose frames are filled on demand from here on.
    // Returns the period of that transfer in milliseconds (at least 1), 0 on failure. The caller
    // holds the handle lock (or no other thread uses the handle).
    int synthesize(bool cyclic);
    // Everything synthesize does but the transfer. Same result and messages.
    int prepareFirstBlock(bool cyclic);
    // Starts output as configured (after synthesize). Takes the handle lock itself; must not be
    // called on the sender's thread.
    bool startOutput();
    // Stops output: no send follows, then VEK72_Stop (a refusal is a warning: the caller reads the
    // module back and says what is left). Takes the handle lock itself; from any thread but the
    // sender's.
    bool stopOutput();
    bool isRunning() const { return running.available() > 0; }
    bool isStopping() const { return stopping.available() > 0; }
    // While output runs, the signals of `fresh` take over from the ones playing without a stop (the
    // configuration is the same). Cyclic: the new page is loaded while the old one plays and becomes
    // the playing page at the end of the old page's pass, or at once when that end is more than
    // switchWaitMs away. Streaming: the new signals join the stream where the module has got to,
    // each channel at the phase it has reached there; the FIFO keeps only what is due within
    // cutKeepMs, the first chunk of the new signals follows at once and the sender's ticks fill the
    // rest. Takes the handle lock itself (in streaming mode only for the cut and that chunk). False,
    // with the reason logged, when refused; then the old signals go on.
    bool changeSignals(QList<ChannelSignal> fresh, bool cyclic);
    // Output given up without asking the module (its connection is gone): stopped at once.
    void abandonOutput();
    // Whether the handle's connection is meant to be open, so that the watch reports its loss.
    // Set under the handle lock, around a successful open and before a close.
    void expectConnection(bool open);
    // True when the last call to the module ran out of time: the service does not answer.
    bool serviceSilent() const { return silent.load(); }
    // Notes whether a library call with the handle ran out of time.
    void noteResult(int result);

    // Frames sent at a time while streaming: about this much output.
    static constexpr int chunkMs = 100;
    // Streaming tick; after a failed or short send the next one comes later, so that a module that
    // keeps refusing is not asked (and the failure not logged) hundreds of times a second.
    static constexpr int tickMs = 10;
    static constexpr int retryTickMs = 100;
    // Chunks one tick sends at most (the handle lock is taken for each on its own).
    static constexpr int tickChunks = 10;
    // Output the FIFO holds before streaming starts (the first chunk and what follows it).
    static constexpr int leadMs = 500;
    // Output the module holds ahead of what it plays while streaming (as far as its FIFO holds): long
    // enough to ride out a service that stops answering for several seconds. From a start or a
    // change the FIFO holds the lead, and what it holds grows from there by leadGrowth seconds of
    // output a second: a change costs the words of the lead, not of all that is held ahead, however
    // many changes come.
    static constexpr int aheadMs = 10000;
    static constexpr int leadGrowth = 4;
    // Room kept free in the FIFO, in chunks: the estimate of what the module holds errs on the full
    // side (it counts from the moment the start was answered), this keeps it from ever being too full.
    static constexpr int freeChunks = 2;
    // How often the connection is looked at.
    static constexpr int watchMs = 250;
    // A page switch waits for the end of the pass at most this long; a change in streaming keeps
    // this much of what the FIFO holds.
    static constexpr int switchWaitMs = 100;
    static constexpr int cutKeepMs = 100;

    // The output held ahead while streaming, from the next start on (aheadMs unless set).
    void setAhead(int ms) { aheadTargetMs = ms; }

    // Read-only views for the module object and tests: the words and period of the first transfer,
    // the frames of the signals (L), what the last send answered.
    unsigned int transferWordCount() const { return transferWords; }
    int blockPeriod() const { return blockPeriodMs; }
    qint64 signalLength() const { return signalFrames; }
    int lastSentCount() const { return sentCount; }

signals:
    // The service dropped the connection, or stopped answering for longer than the module had output
    // to play. Emitted once per loss, on the sender's thread.
    void connectionLost();
    // Streaming: the module refused the data for as long as the output it held lasted; no more is
    // sent. Emitted once per start, on the sender's thread.
    void outputStarved();

public slots:
    // Starts the connection watch; queued to the sender once it lives on its thread.
    void startWatch();

private slots:
    void dataSender();
    void watchConnection();

private:
    // The next whole frames of the signals at the stream position into the chunk buffer, as words
    // pending to be sent. Handle lock held.
    bool prepareChunk();
    // VEK72_Send of what is pending (of the chunk, or the page); its answer as it is. Handle lock held.
    int sendPending(quint32 timeoutMs);
    // What a send of the pending words answered, for every send: the words taken go to the module's
    // account, a short or failed send is logged (a lost connection reported), and what was not
    // taken stays pending. Answers whether all of it went.
    bool took(int result);
    // Takes the service's late answer to a send that ran out of time, without waiting. False while it
    // has not come (the connection given up once the module has played all it had) or when it was
    // short. Handle lock held.
    bool answerInFlight();
    // The words the next send carries: what is pending of the chunk, else a whole chunk.
    qint64 pendingOrChunk() const;
    // Words the module still holds to play, by the clock (never below 0). Handle lock held.
    qint64 bufferedWords();
    // What the FIFO is topped up to now: the lead, grown since the start or the last change, at most
    // the output held ahead. Handle lock held.
    qint64 targetWords() const;
    // Reports the loss of the connection once; streaming ends. Handle lock held.
    void loseConnection();
    // Reports once that the module took no data for as long as it had output; streaming ends.
    // Handle lock held.
    void starve();

    // Ends the output: no send follows, then VEK72_Stop when `askModule` (a stop), or nothing more
    // (output given up). A warning when it was not running, only for a stop.
    bool endOutput(bool askModule);
    // Starts or stops the timer on its own thread and waits until it has (bounded).
    bool switchTimer(bool on);

    TVEK72* handle;
    QList<ChannelSignal>* outputData;
    QMutex* mutex;
    QMutex ownHandleLock;
    QMutex* handleLock;
    // Check and change of the output state (running, stopping) in one step.
    QMutex stateLock;
    QSemaphore running;
    QSemaphore stopping;
    unsigned int transferWords = 0;
    int sentCount = 0;
    // The cyclic page as module words.
    QVector<quint32> words;
    // Child of the sender, so that it lives on the sender's thread with it.
    QTimer timer;
    int blockPeriodMs = 0;
    qint64 signalFrames = 0;

    // Streaming, guarded by the handle lock: whether ticks may send, the signals' frames on demand,
    // the next frame to send (0 .. L - 1), the chunk being sent and what of it (or of the page) is
    // still to go. freshStream: the first chunk is queued and the stream not started yet.
    bool streamActive = false;
    bool freshStream = false;
    synthesis::FrameSource source;
    qint64 streamFrame = 0;
    qint64 chunkFrames = 0;
    QVector<double> chunkSamples;
    QVector<quint32> chunkWords;
    const quint32* pending = nullptr;
    int pendingCount = 0;
    // A send the service has not answered yet: its words may or may not be in the FIFO.
    bool sendInFlight = false;
    // What the module has been given since the stream started, and what it has played of it by the
    // clock: words taken, the clock since the start was answered, the words played before the clock's
    // start (moved on when the module ran dry), and the words the module plays per second.
    qint64 wordsQueued = 0;
    QElapsedTimer streamClock;
    qint64 wordsPlayedBefore = 0;
    double wordRate = 0.0;
    qint64 aheadWords = 0;
    qint64 leadWords = 0;
    QElapsedTimer leadClock;
    int aheadTargetMs = aheadMs;

    // The connection watch: whether the connection is meant to be open (handle lock), and whether
    // its loss has been reported since.
    QTimer watch;
    bool connectionExpected = false;
    std::atomic<bool> lossReported{false};
    bool starveReported = false;
    std::atomic<bool> silent{false};

    // The playing page (cyclic): from when it plays (or will play, after a scheduled switch) by the
    // clock below, and its frames.
    QElapsedTimer clock;
    qint64 pageStartMs = 0;
    qint64 pageFrames = 0;
};

#endif
