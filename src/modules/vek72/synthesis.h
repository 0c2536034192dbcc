#ifndef SYNTHESIS_H
#define SYNTHESIS_H

#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include "channelsignal.h"

// Waveform planning and filling for the VEK72 output.
//
// All channels of one output share one common length L (samples per channel) in which every
// channel holds a whole number of periods. Planning finds L, moves every frequency that does not
// fit to the nearest frequency that puts whole periods into L, and cuts the signals into blocks for
// the transfer; filling writes the samples of the five shapes. Both are plain computations: no
// widgets, no hardware, no locks.
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
QString lowRateText(double rateHz, double frequencyHz);   // "Недостаточная частота ЦАП ..."
QString noMemoryText();                                    // "Недостаточно памяти для генерации сигнала"

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
};

struct Plan
{
    enum Failure { None, NoChannels, LowRate, NoMemory };

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
// or arrays longer than a channel array can be.
Plan makePlan(const QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic);

// Writes the samples of one planned channel. Positions are sample indices 0 .. L - 1; the caller
// fills any range, in any order, and gets the same values as filling the whole array at once.
class ChannelFiller
{
public:
    ChannelFiller(const ChannelPlan& channel, qint64 length);

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
    double periodicValue(qint64 j) const;

    int shape;
    double amplitude;
    double offset;
    double r;
    qint64 length;
    qint64 p;  // P = round(r): samples of one period of the periodic shapes
    qint64 h;  // H = round(r / 2)
    QVector<double> periodTable;  // whole periods of a periodic shape, when P is short enough
    QVector<double> cosTable;     // sine: cos and sin of 2*pi*j/r for j below sineStride
    QVector<double> sinTable;
};

// Interleaves the first `frames` frames of e channels: channels[i][g] goes to dst[e * g + i].
void interleaveFrames(const double* const* channels, int e, double* dst, qint64 frames);

// Copies n doubles to dst past the cache (for destinations that are not read again soon).
void storeStreaming(double* dst, const double* src, qint64 n);

// A sample array of the given length whose contents are not initialised (the caller writes every
// sample). False when it cannot be allocated; the array is then empty.
bool allocateSamples(QVector<double>& array, qint64 count);

// Plans and fills the samples of every signal of the list (for tools and tests; the sender does
// the same in step with the first block). False with the plan's message when refused or when the
// arrays cannot be allocated; the list is then left unchanged.
bool synthesizeAll(QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic, Plan* planOut = nullptr);

} // namespace synthesis

#endif
