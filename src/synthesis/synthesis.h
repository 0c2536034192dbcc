#ifndef SYNTHESIS_H
#define SYNTHESIS_H

#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <vector>

#include "channelsignal.h"

// Waveform planning and filling for the VEK72 output.
//
// All channels of one output share one common length L (samples per channel) in which every
// channel holds a whole number of periods. Planning finds L, moves every frequency that does not
// fit to the nearest frequency that puts whole periods into L, and cuts the signals into blocks for
// the transfer; filling writes the samples of the six shapes, each started at its phase, at any
// positions (a whole signal, or the frames of a stream on demand). Plain computations: no widgets,
// no hardware, no locks.
namespace synthesis {

// Samples of all channels together that one cyclic page holds, and the streaming total.
constexpr qint64 cyclicSampleLimit = 4194304;     // 2^22
constexpr qint64 streamingSampleLimit = 134217728; // 2^27
// Words of one block transfer at most (the module's page and FIFO size).
constexpr qint64 blockWordLimit = 4194304;
// The longest sample array one channel can have (a QVector<double> is limited to 2 GiB).
qint64 maxArraySamples();

// The texts of a refused synthesis (shown as critical messages).
QString noChannelsText();                                  // "Нет включенных каналов для генерации"
QString lowRateText(double rateHz, double frequencyHz, int channel);   // "Недостаточная частота ЦАП ... (канал N)"
QString noMemoryText();                                    // "Недостаточно памяти для генерации сигнала"
QString noWaveformText(int channel);   // "Для канала %1 не загружен произвольный сигнал"
QString badPhaseText(int channel);     // "Недопустимая фаза сигнала канала %1"

// A phase in degrees brought into 0 <= phase < 360 (360 and more wrap, negative phases count
// back from 360); NaN for a phase that is not a finite number.
double normalisedPhase(double degrees);

// The whole-period search of one channel: starting at m = 1, m grows until m * r is a whole number
// (compared exactly in double precision) or until one more period would reach maxLen samples;
// span = round(m * r). Found without walking through every m (see synthesisplan.cpp).
struct PeriodFit
{
    qint64 periods = 1;  // m
    double span = 0.0;   // u = round(m * r), a whole number (may be huge when r is)
};
PeriodFit fitPeriods(double samplesPerPeriod, qint64 maxLen);

// The common length for the spans u of all channels: the smallest length every span divides when
// it stays below maxLen (or is the largest span itself), maxLen otherwise. Spans must be whole
// numbers of at least 1. Gives a value above maxArraySamples() when the result would not fit.
qint64 commonLength(const QVector<double>& spans, qint64 maxLen);

// Blocks of a length L shared by n channels: 1 in cyclic mode; in streaming mode the smallest
// divisor of L that is at least ceil(L * n / blockWordLimit).
qint64 blockCountFor(qint64 length, int channelCount, bool cyclic);

struct ChannelPlan
{
    int shape = ChannelSignal::Sine;
    double amplitude = 0.0;
    double offset = 0.0;
    double requested = 0.0;         // frequency asked for, Hz
    qint64 periods = 0;             // m: whole periods in L
    double span = 0.0;              // u: samples of the periods found by the search
    double samplesPerPeriod = 0.0;  // r = L / m
    double frequency = 0.0;         // achieved frequency R / r
    double phase = 0.0;             // degrees, 0 <= phase < 360
    WaveformPointer waveform;       // the period of the shape Arbitrary
};

struct Plan
{
    enum Failure { None, NoChannels, LowRate, NoMemory, NoWaveform, BadPhase };

    Failure failure = None;
    QString message;          // the critical text when refused
    double rate = 0.0;        // R, samples per second and channel
    bool cyclic = true;
    qint64 maxLength = 0;     // maxLen
    qint64 length = 0;        // L
    qint64 blockCount = 1;
    qint64 samplesPerBlock = 0;  // B
    qint64 blockPeriodMs = 0;
    QVector<ChannelPlan> channels;

    bool ok() const { return failure == None; }
    qint64 transferWords() const { return samplesPerBlock * channels.size(); }
};

// Plans the output of the given signals at R samples per second and channel. A refused plan has
// no channels and says why in failure and message: no signals, a frequency that is not above 0
// and below R / 2 (NaN and infinities included) or a rate that is not a positive finite number,
// arrays longer than a channel array can be, an arbitrary shape without its waveform, or a phase
// that is not a finite number. The shape Arbitrary is planned like the other periodic shapes.
Plan makePlan(const QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic);

// Writes the samples of one planned channel. Positions are sample indices 0 .. L - 1; the caller
// fills any range, in any order, and gets the same values as filling the whole array at once.
//
// The phase is a start offset within the period: sample k shows the shape at k + phase / 360
// periods. The sine and the arbitrary shape take it exactly (their period is r samples); the
// triangle, saw and pulse repeat every P samples and are evaluated at k + phase / 360 * P, so
// the pulse, whose edges fall on samples, resolves its phase to one sample.
//
// The arbitrary shape is the file's period band-limited and resampled: see synthesisarbitrary.cpp.
class ChannelFiller
{
public:
    ChannelFiller(const ChannelPlan& channel, qint64 length);

    // The highest harmonic of the file's period that the arbitrary shape keeps at r samples per
    // period: below the output's Nyquist frequency (h < r / 2) and not above N / 2.
    static qint64 harmonicLimit(qint64 pointCount, double samplesPerPeriod);
    // Entries of the table that period is resampled from (a power of two).
    static qint64 tableSizeFor(qint64 harmonics);

    // Writes samples from .. to - 1 into dst[0] .. dst[to - from - 1].
    void fillInto(double* dst, qint64 from, qint64 to) const;
    // Writes out[from] .. out[to - 1] (out points at sample 0 of the channel's array), for long
    // ranges of arrays far larger than the cache: the samples are stored past the cache, so the
    // array is not read into it first.
    void fillStreaming(double* out, qint64 from, qint64 to) const;

private:
    void fillRange(double* dst, qint64 from, qint64 to, bool stream) const;
    void fillSine(double* dst, qint64 from, qint64 to, bool stream) const;
    void fillPeriodic(double* dst, qint64 from, qint64 to, bool stream) const;
    void fillArbitrary(double* dst, qint64 from, qint64 to, bool stream) const;
    double periodicValue(qint64 j) const;
    // The waveform's band-limited period with that many harmonics, made once and kept with it.
    static QSharedPointer<const QVector<double>> bandLimitedTable(const WaveformPointer& waveform,
                                                                  qint64 harmonics);

    int shape;
    double amplitude;
    double offset;
    double r;
    qint64 length;
    qint64 p;  // P = round(r): samples of one period of the periodic shapes
    qint64 h;  // H = round(r / 2)
    double phaseTurns;    // phase / 360
    double phaseRadians;  // the sine's phase
    double phaseSamples;  // the periodic shapes' offset within P samples
    QVector<double> periodTable;  // whole periods of a periodic shape, when P is short enough
    QVector<double> cosTable;     // sine: cos and sin of 2*pi*j/r for j below sineStride
    QVector<double> sinTable;
    // Arbitrary shape: the band-limited period at tableSize points, as the cubic of every interval
    // between them (kernels::arbitraryRun).
    QSharedPointer<const QVector<double>> arbitraryTable;
    qint64 tableSize = 0;
};

// The frames of every channel of a plan, filled on demand: stream position p holds sample p mod L
// of every channel, so the signals repeat every L frames as the whole-signal fill plays them, and
// every sample is the very value that fill gives at that position. Nothing of length L is held:
// the cost of a fill depends on the frames asked for, not on L. Not for two threads at once (it
// fills through buffers of its own).
class FrameSource
{
public:
    FrameSource() = default;
    explicit FrameSource(const Plan& plan);

    bool isEmpty() const { return fillers.empty(); }
    int channelCount() const { return int(fillers.size()); }
    qint64 length() const { return signalLength; }   // L

    // Writes `frames` frames from stream position `position` (>= 0) on into dst, channel-interleaved
    // (channelCount() samples a frame, in the plan's channel order). Answers the position after
    // them, reduced to 0 .. L - 1.
    qint64 fill(double* dst, qint64 position, qint64 frames);

private:
    std::vector<ChannelFiller> fillers;
    std::vector<double> pieces;   // one piece of every channel, interleaved from there
    qint64 signalLength = 0;
};

// Interleaves the first `frames` frames of e channels: channels[i][g] goes to dst[e * g + i].
void interleaveFrames(const double* const* channels, int e, double* dst, qint64 frames);

// Copies n doubles to dst past the cache (for destinations that are not read again soon).
void storeStreaming(double* dst, const double* src, qint64 n);

// A sample array of the given length whose contents are not initialised (the caller writes every
// sample). False when it cannot be allocated; the array is then empty.
bool allocateSamples(QVector<double>& array, qint64 count);

// Plans and fills the whole signal of every channel of the list (for tools and tests; the sender
// fills a cyclic page and a stream's chunks with a FrameSource, to the same samples). False with the
// plan's message when refused or when the arrays cannot be allocated; the list is then left
// unchanged.
bool synthesizeAll(QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic, Plan* planOut = nullptr);

} // namespace synthesis

#endif
