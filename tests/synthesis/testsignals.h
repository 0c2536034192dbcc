// Helpers shared by the synthesis tests.
#ifndef TESTSIGNALS_H
#define TESTSIGNALS_H

#include <QString>
#include <QtTest>

#include "channelsignal.h"

// A channel signal; channel 1 unless given.
inline ChannelSignal sig(int shape, double frequency, double amplitude = 1.0, double offset = 0.0, int channel = 1)
{
    ChannelSignal s;
    s.channel = channel;
    s.shape = shape;
    s.frequency = frequency;
    s.amplitude = amplitude;
    s.offset = offset;
    return s;
}

// Doubles compared bit for bit (QCOMPARE on doubles is fuzzy).
#define EXACT(a, b)                                                                              \
    QVERIFY2((a) == (b), qPrintable(QString::asprintf("%.17g != %.17g", double(a), double(b))))

#endif
