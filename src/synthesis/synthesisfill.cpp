// Filling of the sample arrays: the sine, triangle, saw, pulse and line (the arbitrary shape is in
// synthesisarbitrary.cpp), the interleaving of frames and the allocation of arrays that are
// written whole.

#include "synthesis.h"
#include "synthesiskernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace synthesis {

namespace {

constexpr double twoPi = 6.283185307179586476925286766559;
constexpr double degree = 0.017453292519943295769236907684886;  // pi / 180

// The sine is computed from an exact value every sineStride samples and the angle-sum formula in
// between: sin(w(k0 + j)) = sin(w k0) cos(w j) + cos(w k0) sin(w j), with w = 2 pi / r.
constexpr qint64 sineStride = 1024;

// Periodic shapes with periods up to this many samples are copied from a table of whole periods.
constexpr qint64 periodTableLimit = 65536;
// A table holds at least this many samples, so that short periods are copied in long runs.
constexpr qint64 periodTableMinimum = 4096;

// 2 pi times the fractional part of k / r: the phase of sample k, reduced exactly (fmod is exact),
// so that it keeps its accuracy however large k grows.
double phaseOf(qint64 k, double r)
{
    return twoPi * (std::fmod(double(k), r) / r);
}

} // namespace

ChannelFiller::ChannelFiller(const ChannelPlan& channel, qint64 length)
    : shape(channel.shape), amplitude(channel.amplitude), offset(channel.offset),
      r(channel.samplesPerPeriod), length(length), p(qint64(std::round(r))),
      h(qint64(std::round(r / 2.0))), phaseTurns(0.0), phaseRadians(0.0), phaseSamples(0.0)
{
    // Plans carry phases in 0 .. 360 already; a plan made by hand may not.
    const double phase = normalisedPhase(channel.phase);
    if (phase > 0.0) {
        phaseTurns = phase / 360.0;
        phaseRadians = phase * degree;
        phaseSamples = phaseTurns * double(p);
    }
    if (shape == ChannelSignal::Arbitrary) {
        if (channel.waveform) {
            const qint64 harmonics = harmonicLimit(channel.waveform->pointCount(), r);
            arbitraryTable = bandLimitedTable(channel.waveform, harmonics);
            tableSize = tableSizeFor(harmonics);
        }
    } else if (shape == ChannelSignal::Sine) {
        const qint64 n = std::min(sineStride, std::max<qint64>(length, 1));
        cosTable.resize(int(n));
        sinTable.resize(int(n));
        for (qint64 j = 0; j < n; ++j) {
            const double phase = phaseOf(j, r);
            cosTable[int(j)] = std::cos(phase);
            sinTable[int(j)] = std::sin(phase);
        }
    } else if (shape == ChannelSignal::Triangle || shape == ChannelSignal::Saw
               || shape == ChannelSignal::Pulse) {
        if (p <= periodTableLimit) {
            const qint64 repeats = std::max<qint64>(1, periodTableMinimum / p);
            periodTable.resize(int(p * repeats));
            for (qint64 j = 0; j < p; ++j)
                periodTable[int(j)] = periodicValue(j);
            for (qint64 i = p; i < p * repeats; ++i)
                periodTable[int(i)] = periodTable[int(i - p)];
        }
    }
}

// Sample j of a period of the periodic shapes (0 <= j < P), taken phaseSamples further on.
double ChannelFiller::periodicValue(qint64 j) const
{
    double x = double(j);
    if (phaseSamples != 0.0) {
        x += phaseSamples;
        if (x >= double(p))
            x -= double(p);
    }
    const bool firstHalf = x < double(h);
    switch (shape) {
    case ChannelSignal::Triangle:
        if (firstHalf)
            return 2.0 * amplitude * x / r + offset;
        return (1.0 - x / r) * 2.0 * amplitude + offset;
    case ChannelSignal::Saw:
        return amplitude * x / r + offset;
    case ChannelSignal::Pulse:
        // High for the first H samples, low from H while j < r. The period is P samples long; a
        // sample at j = P (when r > P) lies at the start of the next period, which overwrites it,
        // or at or beyond L, where nothing is written.
        return firstHalf ? amplitude + offset : offset;
    default:
        return offset;
    }
}

void ChannelFiller::fillInto(double* dst, qint64 from, qint64 to) const
{
    fillRange(dst, from, to, false);
}

void ChannelFiller::fillStreaming(double* out, qint64 from, qint64 to) const
{
    fillRange(out + from, from, to, true);
}

void ChannelFiller::fillRange(double* dst, qint64 from, qint64 to, bool stream) const
{
    if (from < 0) {
        dst -= from;
        from = 0;
    }
    to = std::min(to, length);
    if (from >= to)
        return;
    switch (shape) {
    case ChannelSignal::Sine:
        fillSine(dst, from, to, stream);
        break;
    case ChannelSignal::Triangle:
    case ChannelSignal::Saw:
    case ChannelSignal::Pulse:
        fillPeriodic(dst, from, to, stream);
        break;
    case ChannelSignal::Arbitrary:
        fillArbitrary(dst, from, to, stream);
        break;
    default:
        kernels::fillRun(dst, offset, to - from, stream);
        break;
    }
}

void ChannelFiller::fillSine(double* dst, qint64 from, qint64 to, bool stream) const
{
    const double* c = cosTable.constData();
    const double* s = sinTable.constData();
    qint64 anchor = from - from % sineStride;
    while (anchor < to) {
        const double phase = phaseOf(anchor, r) + phaseRadians;
        const qint64 begin = std::max(anchor, from);
        const qint64 end = std::min(anchor + sineStride, to);
        // A sin(w (k0 + j)) + O = (A sin w k0) cos w j + (A cos w k0) sin w j + O
        kernels::sineRun(dst + (begin - from), c + (begin - anchor), s + (begin - anchor),
                         amplitude * std::sin(phase), amplitude * std::cos(phase), offset, end - begin,
                         stream);
        anchor += sineStride;
    }
}

void ChannelFiller::fillPeriodic(double* dst, qint64 from, qint64 to, bool stream) const
{
    qint64 j = from % p;
    if (!periodTable.isEmpty()) {
        const double* table = periodTable.constData();
        const qint64 size = periodTable.size();
        qint64 k = from;
        while (k < to) {
            const qint64 n = std::min(size - j, to - k);
            kernels::copyRun(dst + (k - from), table + j, n, stream);
            k += n;
            j = 0;
        }
        return;
    }
    for (qint64 k = from; k < to; ++k) {
        dst[k - from] = periodicValue(j);
        if (++j == p)
            j = 0;
    }
}

namespace {

template <int E>
void interleaveFixed(const double* const* channels, double* dst, qint64 frames)
{
    qint64 g = 0;
#ifdef __SSE2__
    // Two frames at a time: channels i and i + 1 give two samples each, and one unpack makes the
    // pair of frame g, the other that of frame g + 1.
    for (; g + 2 <= frames; g += 2) {
        int i = 0;
        for (; i + 2 <= E; i += 2) {
            const __m128d x = _mm_loadu_pd(channels[i] + g);
            const __m128d y = _mm_loadu_pd(channels[i + 1] + g);
            _mm_storeu_pd(dst + i, _mm_unpacklo_pd(x, y));
            _mm_storeu_pd(dst + E + i, _mm_unpackhi_pd(x, y));
        }
        for (; i < E; ++i) {
            dst[i] = channels[i][g];
            dst[E + i] = channels[i][g + 1];
        }
        dst += 2 * E;
    }
#endif
    for (; g < frames; ++g) {
        for (int i = 0; i < E; ++i)
            dst[i] = channels[i][g];
        dst += E;
    }
}

} // namespace

void interleaveFrames(const double* const* channels, int e, double* dst, qint64 frames)
{
    switch (e) {
    case 0:
        return;
    case 1:
        if (frames > 0)
            std::memcpy(dst, channels[0], size_t(frames) * sizeof(double));
        return;
    case 2: interleaveFixed<2>(channels, dst, frames); return;
    case 3: interleaveFixed<3>(channels, dst, frames); return;
    case 4: interleaveFixed<4>(channels, dst, frames); return;
    case 5: interleaveFixed<5>(channels, dst, frames); return;
    case 6: interleaveFixed<6>(channels, dst, frames); return;
    case 7: interleaveFixed<7>(channels, dst, frames); return;
    case 8: interleaveFixed<8>(channels, dst, frames); return;
    default:
        for (qint64 g = 0; g < frames; ++g)
            for (int i = 0; i < e; ++i)
                dst[e * g + i] = channels[i][g];
        return;
    }
}

void storeStreaming(double* dst, const double* src, qint64 n)
{
    kernels::copyRun(dst, src, n, true);
}

bool allocateSamples(QVector<double>& array, qint64 count)
{
    array = QVector<double>();
    if (count <= 0)
        return true;
    if (count > maxArraySamples())
        return false;
    // The array is written whole by its filler, so it is not zeroed first (QVector would, which
    // costs one more pass over memory the size of the array).
    QTypedArrayData<double>* data = QTypedArrayData<double>::allocate(size_t(count));
    if (!data)
        return false;
    data->size = int(count);
#ifdef Q_OS_LINUX
    // Large arrays on huge pages: far fewer page faults when they are first written.
    constexpr quintptr hugePage = quintptr(1) << 21;
    const quintptr begin = (quintptr(data->data()) + hugePage - 1) & ~(hugePage - 1);
    const quintptr end = (quintptr(data->data() + count)) & ~(hugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), size_t(end - begin), MADV_HUGEPAGE);
#endif
    array = QVector<double>(QArrayDataPointerRef<double>{data});
    return true;
}

bool synthesizeAll(QList<ChannelSignal>& channelSignals, double rateHz, bool cyclic, Plan* planOut)
{
    Plan plan = makePlan(channelSignals, rateHz, cyclic);
    bool ok = plan.ok();
    QVector<QVector<double>> arrays(plan.channels.size());
    for (int i = 0; ok && i < arrays.size(); ++i)
        ok = allocateSamples(arrays[i], plan.length);
    if (plan.ok() && !ok) {
        plan.failure = Plan::NoMemory;
        plan.message = noMemoryText();
    }
    if (ok) {
        for (int i = 0; i < arrays.size(); ++i) {
            ChannelFiller(plan.channels.at(i), plan.length).fillStreaming(arrays[i].data(), 0, plan.length);
            channelSignals[i].samples = std::move(arrays[i]);
            channelSignals[i].frequency = plan.channels.at(i).frequency;
        }
    }
    if (planOut)
        *planOut = std::move(plan);
    return ok;
}

} // namespace synthesis
