#include "outputrange.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "dacword.h"
#include "synthesis.h"

namespace synthesis {

namespace {

// Volts a signal may pass a range's end by: what the conversion of an RMS or a peak-to-peak value
// can add to a peak given exactly at the end.
constexpr double rangeSlack = 1e-9;

QString volts(double value)
{
    return QString::number(value, 'g', 10);
}

// The samples of a planned channel that tell its lowest and highest value. The triangle, saw and
// pulse repeat their first period's P samples. The file's period is taken where sample k falls in
// the period, k * m / L turns: L / gcd(L, m) different places, the first so many samples.
qint64 telling(const ChannelPlan& c, qint64 length)
{
    if (c.shape != ChannelSignal::Arbitrary)
        return std::min(length, qint64(std::llround(c.samplesPerPeriod)));
    return length / std::gcd(length, std::max<qint64>(1, c.periods));
}

} // namespace

int rateShares(int channels)
{
    return channels <= 1 ? 1 : channels <= 2 ? 2 : channels <= 4 ? 4 : 8;
}

double outputRateFor(double dacRateHz, int channels)
{
    return dacRateHz / rateShares(channels);
}

ChannelSignal acChannelSignal(int channel, double rmsMillivolts, double frequency, double offset)
{
    ChannelSignal s;
    s.channel = channel;
    s.shape = ChannelSignal::Sine;
    s.amplitude = rmsMillivolts * 1.4142135623730951 / 1000.0;
    s.frequency = frequency;
    s.offset = offset;
    return s;
}

ChannelSignal dcChannelSignal(int channel, double millivolts)
{
    ChannelSignal s;
    s.channel = channel;
    s.shape = ChannelSignal::Line;
    s.offset = millivolts / 1000.0;
    return s;
}

VoltageSpan outputRange(int modification, bool tenth)
{
    if (modification < 1 || modification > 3)
        return {};
    const vekproto::Scale scale = vekproto::channelScale(modification, tenth ? 1 : 0);
    return VoltageSpan{ scale.min, scale.max };
}

QString outputRangeName(int modification, bool tenth)
{
    return QStringLiteral("VEK72-%1, %2")
        .arg(modification)
        .arg(tenth ? QStringLiteral("диапазон 1/10") : QStringLiteral("полный диапазон"));
}

VoltageSpan signalSpan(const ChannelSignal& signal)
{
    if (signal.shape == ChannelSignal::Line)
        return { signal.offset, signal.offset };
    if (signal.shape == ChannelSignal::Arbitrary && signal.waveform && signal.waveform->peak() > 0.0) {
        const double scale = signal.amplitude / signal.waveform->peak();
        const double a = signal.offset + scale * signal.waveform->minimum();
        const double b = signal.offset + scale * signal.waveform->maximum();
        return { std::min(a, b), std::max(a, b) };
    }
    if (signal.shape == ChannelSignal::Sine)
        return { signal.offset - std::abs(signal.amplitude), signal.offset + std::abs(signal.amplitude) };
    // The triangle, saw and pulse rise from the offset by the amplitude.
    const double top = signal.offset + signal.amplitude;
    return { std::min(signal.offset, top), std::max(signal.offset, top) };
}

QString beyondOutputs(const QList<ChannelSignal>& signalList, int modification, const QVector<bool>& tenth,
                      const Plan* plan)
{
    for (int i = 0; i < signalList.size(); ++i) {
        const ChannelSignal& s = signalList.at(i);
        const bool oneTenth = tenth.value(i, false);
        const VoltageSpan range = outputRange(modification, oneTenth);
        const VoltageSpan span = signalSpan(s);
        double low = span.lowest;
        double high = span.highest;
        bool samplesBeyond = false;
        if (plan && i < plan->channels.size() && s.shape != ChannelSignal::Sine && s.shape != ChannelSignal::Line) {
            // A few at a time: a file's period may take all L samples to tell.
            const ChannelPlan& c = plan->channels.at(i);
            const qint64 count = telling(c, plan->length);
            const ChannelFiller filler(c, plan->length);
            QVector<double> samples(int(std::min<qint64>(std::max<qint64>(count, 0), qint64(1) << 16)));
            for (qint64 from = 0; from < count; from += samples.size()) {
                const qint64 to = std::min(count, from + samples.size());
                filler.fillInto(samples.data(), from, to);
                for (qint64 k = 0; k < to - from; ++k) {
                    const double v = samples[int(k)];
                    samplesBeyond = samplesBeyond || v < low - rangeSlack || v > high + rangeSlack;
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
            }
        }
        if (low >= range.lowest - rangeSlack && high <= range.highest + rangeSlack)
            continue;
        QString what = s.shape == ChannelSignal::Line ? QStringLiteral("уровень %1 В").arg(volts(low))
                                                      : QStringLiteral("сигнал идёт от %1 до %2 В").arg(volts(low), volts(high));
        if (samplesBeyond)
            what += QStringLiteral(" (при %1 выборках на период выборки выходят за заданную амплитуду)")
                        .arg(QString::number(plan->channels.at(i).samplesPerPeriod, 'g', 6));
        return QStringLiteral("канал %1: %2, а выход модуля — от %3 до %4 В (%5)")
            .arg(s.channel)
            .arg(what, volts(range.lowest), volts(range.highest), outputRangeName(modification, oneTenth));
    }
    return QString();
}

} // namespace synthesis
