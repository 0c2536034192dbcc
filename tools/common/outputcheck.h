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

// "при 1 канале", "при 3 каналах"
QString withChannels(int n);

// Every signal (amplitude as the peak, see signalargs.h) within the outputs of a modification, all
// on the full or all on the one-tenth range; false with the first channel that leaves its output
// (synthesis::beyondOutputs, with the samples of the signals' plan, when given).
bool checkRange(const QList<ChannelSignal>& signalList, int modification, bool tenth, QString* error,
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
