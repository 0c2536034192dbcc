// Planning of the common length: the whole-period search per channel, the common length, the
// blocks and the achieved frequencies.

#include "synthesis.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <cmath>
#include <numeric>

namespace synthesis {

namespace {

using Wide = __int128;

// True when m * r, computed in double precision, is a whole number.
bool wholeProduct(qint64 m, double r)
{
    const double x = double(m) * r;
    return std::round(x) == x;
}

// Smallest x >= 0 with lo <= (a * x mod modulus) <= hi, or -1 when there is none.
// Requires 0 <= lo <= hi < modulus and 0 <= a. Works like Euclid's algorithm: when the window is
// not reached before the first wrap, the number of wraps y is itself the answer of a smaller
// problem of the same kind (the multiples of modulus mod a must land in a window of their own).
Wide firstInWindow(Wide a, Wide modulus, Wide lo, Wide hi)
{
    if (lo == 0)
        return 0;
    a %= modulus;
    if (a == 0)
        return -1;
    const Wide x = (lo + a - 1) / a;
    if (a * x <= hi)
        return x;
    const Wide y = firstInWindow(modulus % a, a, (a - hi % a) % a, (a - lo % a) % a);
    if (y < 0)
        return -1;
    return (modulus * y + lo + a - 1) / a;
}

// Exponent j of the binade [2^j, 2^(j+1)) holding x >= 1.
int binadeOf(double x)
{
    int e = 0;
    std::frexp(x, &e);
    return e - 1;
}

// Smallest m in [lo, hi] (lo >= 2, hi * r below 2^52) for which m * r is a whole number in double
// precision, -1 if none.
//
// r is a binary fraction p / 2^k with p odd. The exact product m * r = m * p / 2^k is within
// rho / 2^k of a whole number n, rho being m * p mod 2^k taken between -2^(k-1) and 2^(k-1). The
// double product rounds to n exactly when that distance is at most half the spacing of doubles
// near n, 2^(j-53) for n in [2^j, 2^(j+1)), a little less just below a power of two. So for each
// binade j of n the candidates are the m whose rho lies in a window of half-width 2^(j-53+k) (one
// unit wider, to be safe), found by firstInWindow; each candidate is then tried with the very
// double product, so the window only has to contain every m that can succeed.
qint64 firstWholeMultiple(double r, qint64 lo, qint64 hi)
{
    int e = 0;
    const double mantissa = std::frexp(r, &e);  // r = mantissa * 2^e, mantissa in [0.5, 1)
    qint64 p = qint64(std::ldexp(mantissa, 53));
    int k = 53 - e;
    while (k > 0 && (p & 1) == 0) {
        p >>= 1;
        --k;
    }
    if (k <= 0)
        return lo;  // r is whole: so is every product
    const Wide modulus = Wide(1) << k;

    qint64 best = -1;
    const int jFirst = std::max(0, binadeOf(double(lo) * r) - 1);
    const int jLast = binadeOf(double(hi) * r + 1.0);
    for (int j = jFirst; j <= jLast; ++j) {
        // The m whose nearest whole number n lies in [2^j, 2^(j+1)), with a margin on both sides.
        qint64 mLo = std::max(lo, qint64(std::floor((std::ldexp(1.0, j) - 1.0) / r)) - 1);
        qint64 mHi = std::min(hi, qint64(std::ceil((std::ldexp(1.0, j + 1) + 1.0) / r)) + 1);
        if (best >= 0) {
            if (mLo >= best)
                break;
            mHi = std::min(mHi, best - 1);
        }
        const int t = j - 53 + k;
        const Wide tolerance = (t >= 0 ? (Wide(1) << t) : Wide(0)) + 1;
        const Wide window = 2 * tolerance;
        qint64 m = mLo;
        while (m <= mHi) {
            Wide candidate = m;
            if (window < modulus - 1) {
                // shift the window [-tolerance, tolerance] of rho to [0, window]
                const Wide a = (Wide(m) * p + tolerance) % modulus;
                if (a > window) {
                    const Wide step = firstInWindow(p, modulus, modulus - a, modulus - a + window);
                    if (step < 0)
                        break;
                    candidate = m + step;
                }
            }
            if (candidate > mHi)
                break;
            if (wholeProduct(qint64(candidate), r)) {
                best = qint64(candidate);
                break;
            }
            m = qint64(candidate) + 1;
        }
    }
    return best;
}

} // namespace

qint64 maxArraySamples()
{
    return (qint64(INT_MAX) - 64) / qint64(sizeof(double));
}

QString noChannelsText()
{
    return QStringLiteral("Нет включенных каналов для генерации");
}

QString lowRateText(double rateHz, double frequencyHz, int channel)
{
    return QString::asprintf("Недостаточная частота ЦАП %.3f кГц на канал для сигнала %.3f кГц (канал %d)",
                             rateHz / 1000.0, frequencyHz / 1000.0, channel);
}

QString noMemoryText()
{
    return QStringLiteral("Недостаточно памяти для генерации сигнала");
}

QString noWaveformText(int channel)
{
    return QStringLiteral("Для канала %1 не загружен произвольный сигнал").arg(channel);
}

QString badPhaseText(int channel)
{
    return QStringLiteral("Недопустимая фаза сигнала канала %1").arg(channel);
}

double normalisedPhase(double degrees)
{
    if (!std::isfinite(degrees))
        return std::numeric_limits<double>::quiet_NaN();
    double phase = std::fmod(degrees, 360.0);  // exact
    if (phase < 0.0)
        phase += 360.0;
    // -1e-300 + 360 rounds to 360
    return phase < 360.0 ? phase : 0.0;
}

PeriodFit fitPeriods(double r, qint64 maxLen)
{
    const double limit = double(maxLen);
    qint64 m = 1;
    if (!(r >= 2.0) || std::round(r) == r) {
        // Whole samples per period (infinity included), or a period shorter than the planner ever
        // produces: walk the search as it stands.
        while (std::isfinite(r) && !wholeProduct(m, r) && std::round(double(m + 1) * r) < limit)
            ++m;
    } else {
        // The search stops at the first m for which one more period would reach maxLen. The
        // product grows with m, so that m is found from an estimate and a few steps either way.
        auto stops = [r, limit](qint64 k) { return std::round(double(k + 1) * r) >= limit; };
        m = std::max<qint64>(1, qint64(std::ceil((limit - 0.5) / r)) - 1);
        while (m > 1 && stops(m - 1))
            --m;
        while (!stops(m))
            ++m;
        const qint64 whole = m >= 2 ? firstWholeMultiple(r, 2, m) : -1;
        if (whole >= 0)
            m = whole;
    }
    return {m, std::round(double(m) * r)};
}

qint64 commonLength(const QVector<double>& spans, qint64 maxLen)
{
    constexpr qint64 tooLong = qint64(1) << 62;
    if (spans.isEmpty())
        return 0;
    for (double u : spans) {
        if (!(u >= 1.0) || !std::isfinite(u))
            return tooLong;
    }
    const double largest = *std::max_element(spans.cbegin(), spans.cend());
    // Every span divides the largest: the doubling stops at once (fmod is exact).
    bool allDivide = true;
    for (double u : spans)
        allDivide = allDivide && std::fmod(largest, u) == 0.0;
    if (allDivide)
        return largest >= double(tooLong) ? tooLong : qint64(largest);
    if (largest >= double(maxLen))
        return maxLen;
    // All spans are below maxLen: the doubling and the upward scan both end at the least common
    // multiple when it is below maxLen, and at maxLen otherwise.
    qint64 multiple = 1;
    for (double u : spans) {
        const qint64 v = qint64(u);
        multiple = multiple / std::gcd(multiple, v) * v;
        if (multiple >= maxLen)
            return maxLen;
    }
    return multiple;
}

qint64 blockCountFor(qint64 length, int channelCount, bool cyclic)
{
    if (cyclic || length <= 0)
        return 1;
    const qint64 least = (length * channelCount + blockWordLimit - 1) / blockWordLimit;
    if (least <= 1)
        return 1;
    // The smallest divisor of L that is at least `least`.
    qint64 best = length;
    for (qint64 d = 1; d * d <= length; ++d) {
        if (length % d != 0)
            continue;
        if (d >= least && d < best)
            best = d;
        const qint64 other = length / d;
        if (other >= least && other < best)
            best = other;
    }
    return best;
}

Plan makePlan(const QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic)
{
    Plan plan;
    plan.rate = rateHz;
    plan.cyclic = cyclic;
    auto refuse = [&plan](Plan::Failure failure, const QString& message) {
        plan.failure = failure;
        plan.message = message;
        plan.channels.clear();
        return plan;
    };
    const int n = channelSignals.size();
    if (n == 0)
        return refuse(Plan::NoChannels, noChannelsText());
    if (!(rateHz > 0.0) || !std::isfinite(rateHz))
        return refuse(Plan::LowRate, lowRateText(rateHz, channelSignals.first().frequency,
                                                 channelSignals.first().channel));
    // The largest common length aimed for: the limit of all samples divided among the channels.
    plan.maxLength = (cyclic ? cyclicSampleLimit : streamingSampleLimit) / n;

    // Whole periods of every channel.
    QVector<double> spans;
    spans.reserve(n);
    plan.channels.reserve(n);
    for (const ChannelSignal& s : channelSignals) {
        ChannelPlan c;
        c.shape = s.shape;
        c.amplitude = s.amplitude;
        c.offset = s.offset;
        c.requested = s.frequency;
        if (s.shape != ChannelSignal::Line) {
            c.phase = normalisedPhase(s.phase);
            if (std::isnan(c.phase))
                return refuse(Plan::BadPhase, badPhaseText(s.channel));
        }
        if (s.shape == ChannelSignal::Arbitrary) {
            if (!s.waveform || s.waveform->pointCount() < Waveform::minPoints)
                return refuse(Plan::NoWaveform, noWaveformText(s.channel));
            c.waveform = s.waveform;
        }
        if (s.shape == ChannelSignal::Line) {
            c.samplesPerPeriod = 2.0;
            c.periods = 1;
            c.span = 2.0;
        } else {
            if (!(s.frequency > 0.0 && 2.0 * s.frequency < rateHz))
                return refuse(Plan::LowRate, lowRateText(rateHz, s.frequency, s.channel));
            c.samplesPerPeriod = rateHz / s.frequency;
            const PeriodFit fit = fitPeriods(c.samplesPerPeriod, plan.maxLength);
            c.periods = fit.periods;
            c.span = fit.span;
        }
        spans.append(c.span);
        plan.channels.append(c);
    }

    // Common length and blocks; a block lasts its samples at the rate, in whole milliseconds
    // rounded up.
    plan.length = commonLength(spans, plan.maxLength);
    if (plan.length > maxArraySamples())
        return refuse(Plan::NoMemory, noMemoryText());
    plan.blockCount = blockCountFor(plan.length, n, cyclic);
    plan.samplesPerBlock = plan.length / plan.blockCount;
    if (plan.samplesPerBlock * n > maxArraySamples())
        return refuse(Plan::NoMemory, noMemoryText());
    plan.blockPeriodMs = qint64(std::ceil(double(plan.samplesPerBlock) * 1000.0 / rateHz));

    // Every channel takes as many whole periods as fit into L.
    const double length = double(plan.length);
    for (ChannelPlan& c : plan.channels) {
        c.periods = std::max(c.periods, qint64(std::floor(length / c.samplesPerPeriod)));
        c.samplesPerPeriod = length / double(c.periods);
        c.frequency = rateHz / c.samplesPerPeriod;
    }
    return plan;
}

} // namespace synthesis
