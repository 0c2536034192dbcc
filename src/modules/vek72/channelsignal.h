#ifndef CHANNELSIGNAL_H
#define CHANNELSIGNAL_H

#include <QVector>

// One channel's signal: what the operator asked for and, after synthesis, the samples played.
struct ChannelSignal
{
    enum Shape { Sine = 0, Triangle = 1, Saw = 2, Pulse = 3, Line = 4 };

    int channel = 1;          // 1..8
    int shape = Sine;         // Shape
    double amplitude = 0.0;   // volts
    double frequency = 0.0;   // hertz
    double offset = 0.0;      // volts
    QVector<double> samples;  // volts, the whole signal of the channel
};

#endif
