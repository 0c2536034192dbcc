// The arithmetic of a step: what the module it runs on can play, the value the channel should
// play, the limit of its tolerance, the verdict of a measurement, and the meter's setup for it.
#ifndef VERIFY_EVALUATION_H
#define VERIFY_EVALUATION_H

#include <QString>

#include "dmm.h"
#include "scenario.h"
#include "verdict.h"

namespace verify {

// What a verification knows of the module it runs on.
struct ModuleFacts
{
    QString name;             // "VEK72-1-8"
    int modification = 0;
    int channelCount = 0;
    QString serial;
    QString firmware;
    QString crate;
    int slot = 0;
    double dcLow = 0;         // V: the full range's lowest and highest level
    double dcHigh = 0;
    double acHigh = 0;        // V: the full range's highest RMS
    bool fixedRange = false;  // only the full range
};

// A range's levels: the one-tenth range is the full range divided by ten.
struct RangeScale
{
    double low = 0;           // V
    double high = 0;          // V
    double acHigh = 0;        // V RMS
};
RangeScale rangeScale(const ModuleFacts& module, Range range);

// What "% of the range" of a tolerance refers to, in the measurement's unit: for DC the larger of
// the range's levels in size, for AC its highest RMS, for a frequency half the DAC rate.
double rangeValue(const ModuleFacts& module, const Step& step);

// What the channel should play for the measurement, from the step's signal (as the module shows
// it once set): the DC level (the mean of a custom shape), the RMS of the alternating part (AC
// coupled, as the meter's AC function reads it), the frequency. A value given in the step wins.
double expectedValue(const Step& step);

// ±limit of the step's tolerance around `expected`.
double toleranceLimit(const Tolerance& tolerance, double expected, double range);

// A measurement against its limit. At the edge (|error| = limit, to a billionth of the values in
// play) the step passes; a reading beyond the meter's range fails.
struct Evaluation
{
    double measured = 0;
    double error = 0;         // measured - expected
    double limit = 0;
    bool overload = false;
    Verdict verdict = Verdict::NotRun;
};
Evaluation evaluate(double expected, double limit, double measured, bool overload);

// The meter set up for a step: its function and filter, the smallest range that holds the expected
// value with its whole tolerance, 10 power-line cycles for DC, a 0.1 s gate for a frequency; the
// scanner channel of the step's channel when the bench has a scanner.
// (Ranges read 20 % beyond their name, as on that class of meter.)
instruments::DmmSetup meterSetup(const Step& step, double expected, double limit, bool scanner);

} // namespace verify

#endif
