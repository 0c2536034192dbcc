// What the module and the program can play, checked before the tools plan or play anything: the
// DAC rates, the output rate a channel count gives, the length of a page, the voltage range of the
// outputs. Every refusal says the true reason in a text for the operator.
#ifndef VEK72_TOOLS_OUTPUTCHECK_H
#define VEK72_TOOLS_OUTPUTCHECK_H

#include <QList>
#include <QString>

#include "channelsignal.h"
#include "synthesis.h"

namespace toolargs {

// The module's DAC rates: 48000, 96000 and 192000 Hz. False with the reason for any other.
bool checkDacRate(double dacRateHz, QString* error);

// The output rate of each channel when `channels` channels are enabled: the DAC rate divided by
// the count rounded up to 1, 2, 4 or 8 (the module's rule, vek72api.h).
int rateDivisor(int channels);
double outputRate(double dacRateHz, int channels);

// "при 1 канале", "при 3 каналах"
QString withChannels(int n);

// The voltage range of an output: modification 1 -10..+10 V, 2 and 3 -2..+20 V; a tenth of it on
// the one-tenth range.
struct OutputRange
{
    double lowest = 0.0;
    double highest = 0.0;
    QString name;  // "VEK72-1, полный диапазон", "VEK72-2, диапазон 1/10"
};
OutputRange outputRange(int modification, bool tenth);

// Every signal (amplitude as the peak, see signalargs.h) between the range's ends; false with the
// first channel that leaves it. With the signals' plan, the samples the program makes count too: a
// triangle of few samples per period has its first falling sample above the peak asked for, and a
// file's period, band-limited, rings past its points next to a step. The triangle, saw and pulse
// repeat their first period's samples, so that period tells; a file's period is taken at every
// place in the period that a sample falls on.
bool checkRange(const QList<ChannelSignal>& signalList, const OutputRange& range, QString* error,
                const synthesis::Plan* plan = nullptr);

// Every periodic signal's period within the common length the mode allows the channels (a
// cyclic page of the module holds 4194304 words, the program's stream 134217728 samples, shared
// by the channels); false with the first channel whose period is longer and the lowest frequency
// that fits.
bool checkLength(const QList<ChannelSignal>& signalList, double rateHz, bool cyclic, QString* error);

// The plan of the signals at `rateHz` samples per second and channel, as the program makes it, after
// checkLength. When `filled` is given, the samples of every channel are synthesised into it (the
// signals in the synthesis's terms, forSynthesis). False with the reason when refused: the text of
// the program's refusal (too high a frequency for the rate, no memory) or of checkLength.
bool planOutput(const QList<ChannelSignal>& signalList, double rateHz, bool cyclic, synthesis::Plan* plan,
                QString* error, QList<ChannelSignal>* filled = nullptr);

} // namespace toolargs

#endif
