#ifndef OUTPUTRANGE_H
#define OUTPUTRANGE_H

#include <QList>
#include <QString>
#include <QVector>

#include "channelsignal.h"

// What the module's outputs can put out, and what a signal would put out there. A signal beyond its
// output is never played: the DAC would cut it flat at the end of the scale. The program (a start,
// a change while playing, a remote value, a setup) and the tools check with the same rules.
namespace synthesis {

struct Plan;

// The output rate of each channel when `channels` channels are enabled: the DAC rate shared by
// the count rounded up to 1, 2, 4 or 8, as the module shares it.
int rateShares(int channels);
double outputRateFor(double dacRateHz, int channels);

// The signal of an AC channel (a sine of `rmsMillivolts` RMS around `offset` volts) and of a DC
// channel (a line at `millivolts`), as the panels and setups give them.
ChannelSignal acChannelSignal(int channel, double rmsMillivolts, double frequency, double offset);
ChannelSignal dcChannelSignal(int channel, double millivolts);

// Volts from lowest to highest.
struct VoltageSpan
{
    double lowest = 0.0;
    double highest = 0.0;
};

// The range of one output: VEK72-1 -10..+10 V, VEK72-2 and -3 -2..+20 V, a tenth of it on the
// one-tenth range; "VEK72-1, полный диапазон", "VEK72-2, диапазон 1/10".
VoltageSpan outputRange(int modification, bool tenth);
QString outputRangeName(int modification, bool tenth);

// The lowest and highest volts a signal puts out, in the terms synthesis plays it: a line its level
// (the offset); a sine its offset less and plus its amplitude (the peak: an AC channel's RMS × √2);
// a triangle, saw or pulse from its offset up by its amplitude; an arbitrary waveform its offset plus
// its amplitude times the lowest and the highest of its points, divided by their peak.
VoltageSpan signalSpan(const ChannelSignal& signal);

// Empty when every signal stays within its output (`tenth`: the one-tenth range, per signal; a
// missing entry is the full range); else the refusal for the first that does not, naming the
// channel, what it would put out and the output's limits:
//   "канал 2: сигнал идёт от -3.485 до 11.485 В, а выход модуля — от -10 до 10 В (VEK72-1, полный диапазон)"
// With the signals' plan the samples synthesis makes count too: a triangle of few samples per period
// has its first falling sample above the peak asked for, and a file's period, band-limited, rings
// past its points next to a step.
QString beyondOutputs(const QList<ChannelSignal>& signalList, int modification, const QVector<bool>& tenth,
                      const Plan* plan = nullptr);

} // namespace synthesis

#endif
