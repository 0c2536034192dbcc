#ifndef CHANNELSIGNAL_H
#define CHANNELSIGNAL_H

#include <QVector>

#include "waveform.h"

// One channel's signal: what the operator asked for and, after synthesis, the frequency played.
struct ChannelSignal
{
    enum Shape { Sine = 0, Triangle = 1, Saw = 2, Pulse = 3, Line = 4, Arbitrary = 5 };

    int channel = 1;          // 1..8
    int shape = Sine;         // Shape
    double amplitude = 0.0;   // volts
    double frequency = 0.0;   // hertz
    double offset = 0.0;      // volts
    QVector<double> samples;  // volts, the whole signal of the channel, when filled whole (tools, tests)
    // Degrees, 0 <= phase < 360 (planning wraps other finite values and refuses NaN and
    // infinities): where in its period the channel starts, for every shape but the line. Every
    // channel starts at sample 0 of the common buffer, so the phases between channels are fixed
    // by the buffer.
    double phase = 0.0;
    // One period of the shape Arbitrary (null until a file is loaded); kept when the shape changes.
    WaveformPointer waveform{};

    // The phase field of the custom signals: degrees with three decimals, 0 to 359.999.
    static constexpr int phaseDecimals = 3;
    static constexpr double phaseFieldMaximum = 359.999;
};

#endif
