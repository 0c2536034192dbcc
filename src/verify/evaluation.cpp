#include "evaluation.h"

#include <algorithm>
#include <cmath>

namespace verify {

namespace {

constexpr double overrange = 1.2;

// The custom shapes as the synthesis plays them: a sine of the amplitude around the offset; a
// triangle, saw or pulse rising from the offset by the amplitude; a line at the offset.
enum Shape { Sine = 0, Triangle = 1, Saw = 2, Pulse = 3, Line = 4 };

double customMean(const Step& s)
{
    return s.shape == Triangle || s.shape == Saw || s.shape == Pulse ? s.offset + s.voltage / 2 : s.offset;
}

double customRms(const Step& s)
{
    const double a = std::abs(s.voltage);
    switch (s.shape) {
    case Sine: return a / std::sqrt(2.0);
    case Triangle:
    case Saw: return a / (2 * std::sqrt(3.0));
    case Pulse: return a / 2;
    default: return 0;
    }
}

} // namespace

RangeScale rangeScale(const ModuleFacts& module, Range range)
{
    const double divisor = range == Range::Full ? 1.0 : 10.0;
    return RangeScale{ module.dcLow / divisor, module.dcHigh / divisor, module.acHigh / divisor };
}

double rangeValue(const ModuleFacts& module, const Step& step)
{
    const RangeScale scale = rangeScale(module, step.range);
    switch (step.measure) {
    case Measure::DcVoltage: return std::max(std::abs(scale.low), std::abs(scale.high));
    case Measure::AcVoltage: return scale.acHigh;
    case Measure::Frequency: break;
    }
    return step.dacRate / 2.0;
}

double expectedValue(const Step& s)
{
    if (s.expectedGiven)
        return s.expected;
    switch (s.measure) {
    case Measure::DcVoltage:
        return s.type == SignalType::Dc ? s.voltage : s.type == SignalType::Ac ? s.offset : customMean(s);
    case Measure::AcVoltage:
        return s.type == SignalType::Dc ? 0.0 : s.type == SignalType::Ac ? std::abs(s.voltage) : customRms(s);
    case Measure::Frequency: break;
    }
    return s.type == SignalType::Dc || (s.type == SignalType::Custom && s.shape == Line) ? 0.0 : s.frequency;
}

double toleranceLimit(const Tolerance& t, double expected, double range)
{
    if (t.absolute)
        return t.limit;
    return t.valuePct / 100 * std::abs(expected) + t.rangePct / 100 * std::abs(range);
}

Evaluation evaluate(double expected, double limit, double measured, bool overload)
{
    Evaluation e;
    e.limit = limit;
    e.overload = overload;
    if (overload || !std::isfinite(measured)) {
        e.measured = measured;
        e.error = qQNaN();
        e.verdict = Verdict::Fail;
        return e;
    }
    e.measured = measured;
    e.error = measured - expected;
    // The subtraction and the limit's own arithmetic leave rounding far below any meter's resolution.
    const double slack = 1e-9 * std::max({ std::abs(expected), std::abs(measured), std::abs(limit) });
    e.verdict = std::abs(e.error) <= limit + slack ? Verdict::Pass : Verdict::Fail;
    return e;
}

instruments::DmmSetup meterSetup(const Step& step, double expected, double limit, bool scanner)
{
    instruments::DmmSetup setup;
    switch (step.measure) {
    case Measure::DcVoltage: setup.function = instruments::DmmFunction::DcVoltage; break;
    case Measure::AcVoltage: setup.function = instruments::DmmFunction::AcVoltage; break;
    case Measure::Frequency: setup.function = instruments::DmmFunction::Frequency; break;
    }
    // A range is named after the value it reads in full and reads 20 % beyond it (10 V up to 12 V):
    // asked for the value less that margin, the meter takes the smallest range that holds it.
    if (step.measure != Measure::Frequency)
        setup.range = (std::abs(expected) + std::abs(limit)) / overrange;
    setup.acBandwidthHz = step.acFilterHz;
    setup.nplc = 10;
    setup.gateSeconds = 0.1;
    setup.scannerChannel = scanner ? step.channel : 0;
    return setup;
}

} // namespace verify
