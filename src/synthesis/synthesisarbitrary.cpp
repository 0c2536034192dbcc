// The arbitrary shape: one period from a file, played at the channel's frequency.
//
// Method. The N points of the file are taken as one period of a periodic signal, and their
// discrete Fourier series (computed once, when the waveform is created) as its spectrum. The
// output plays r samples per period (r = L / m, in general not a whole number), so it can carry
// the harmonics h < r / 2 only: the period is band-limited to
//
//     K = min(floor(N / 2), ceil(r / 2) - 1) harmonics
//
// by dropping every harmonic above K (an ideal periodic low-pass; when N is even and K = N / 2
// the Nyquist term is split half and half between +K and -K, as the trigonometric interpolation
// of the points has it). With K = N / 2 nothing is dropped and the result is the trigonometric
// interpolation of the points: it passes through every point and is smooth between them, however
// few the points (a 16-point period at a few hertz). With K < N / 2 the harmonics the output
// cannot carry are removed instead of folding back as aliases (a 1,048,576-point period at 1 kHz
// keeps its first 23 harmonics at 48 kHz).
//
// The band-limited period g is evaluated by an inverse transform on a table of M points (a power
// of two, about 16 points per cycle of the highest harmonic kept, at least 1024, at most 2^21),
// values and derivatives together: one complex transform of V + iD, where V holds the harmonics
// of g and D those of its derivative, gives g in the real parts and g' in the imaginary parts.
// Sample k is then the cubic Hermite interpolation of the table at the position
// frac(k / r + phase / 360) * M, from the two neighbouring values and derivatives (kept as the
// cubic's four coefficients per interval, see kernels::arbitraryRun). The error of
// that interpolation for a harmonic h is below (2 pi h / M)^4 / 384 of its amplitude: about
// 4e-12 for a sine period (h = 1) with M = 1024, about 6e-5 for a harmonic at 16 points a cycle,
// at most 1.6 % for the highest harmonics of the longest periods played slowly, where M is
// capped at 4 points per cycle of the highest harmonic.
//
// As in any band-limited output, a period with steps rings next to them (the Gibbs overshoot, up
// to 9 % of the step when harmonics are cut), so the played signal may pass the amplitude there.
//
// Cost: preparation is one inverse transform of M points per waveform and harmonic count, shared
// by every channel that plays the waveform with that many harmonics and kept with the waveform
// (Waveform::table); each sample is then a table look-up and a cubic, whatever N is, computed for
// several samples at a time in vector instructions (kernels::arbitraryRun).

#include "synthesis.h"
#include "synthesisfft.h"
#include "synthesiskernels.h"

#include <algorithm>
#include <cmath>

namespace synthesis {

namespace {

constexpr double twoPi = 6.283185307179586476925286766559;

// Positions are computed afresh (with an exact reduction) every so many samples, as for the sine.
constexpr qint64 positionStride = 1024;

constexpr qint64 smallestTable = 1024;
constexpr qint64 largestTable = qint64(1) << 21;
constexpr qint64 pointsPerCycle = 16;

QSharedPointer<const QVector<double>> buildTable(const Waveform& waveform, qint64 harmonics, qint64 size)
{
    using fft::Complex;
    const std::vector<Complex>& c = waveform.spectrum();
    const qint64 n = waveform.pointCount();
    fft::ComplexVector z(size_t(size), Complex(0.0, 0.0));
    z[0] = Complex(c[0].real(), 0.0);  // the mean; its derivative is 0
    for (qint64 h = 1; h <= harmonics; ++h) {
        Complex a = c[size_t(h)];
        if (2 * h == n)
            a *= 0.5;  // the Nyquist term of an even N, half at +h and half at -h
        // V: a at +h, conj(a) at -h. D (the derivative per table step): i w a and -i w conj(a),
        // w = 2 pi h / M. Z = V + i D.
        const double w = twoPi * double(h) / double(size);
        z[size_t(h)] = a * (1.0 - w);
        z[size_t(size - h)] = std::conj(a) * (1.0 + w);
    }
    fft::transform(z, +1);
    // Per interval i the cubic y0 + f (d0 + f (c2 + f c3)) of its two ends' values and derivatives,
    // the last interval ending at the first point again.
    QSharedPointer<QVector<double>> table(new QVector<double>(int(kernels::coefficientsPerInterval * size + kernels::coefficientsPadding)));
    double* t = kernels::alignedCoefficients(table->data());
    for (qint64 i = 0; i < size; ++i) {
        const Complex& here = z[size_t(i)];
        const Complex& next = z[size_t((i + 1) % size)];
        const double y0 = here.real(), d0 = here.imag(), y1 = next.real(), d1 = next.imag();
        const double dy = y1 - y0;
        t[4 * i] = y0;
        t[4 * i + 1] = d0;
        t[4 * i + 2] = 3.0 * dy - 2.0 * d0 - d1;
        t[4 * i + 3] = d0 + d1 - 2.0 * dy;
    }
    return table;
}

} // namespace

qint64 ChannelFiller::harmonicLimit(qint64 pointCount, double samplesPerPeriod)
{
    const double belowNyquist = std::ceil(samplesPerPeriod / 2.0) - 1.0;  // largest h < r / 2
    const qint64 own = pointCount / 2;
    if (!(belowNyquist < double(own)))
        return own;
    return std::max<qint64>(0, qint64(belowNyquist));
}

qint64 ChannelFiller::tableSizeFor(qint64 harmonics)
{
    return std::min(largestTable, std::max(smallestTable, fft::nextPowerOfTwo(pointsPerCycle * (harmonics + 1))));
}

QSharedPointer<const QVector<double>> ChannelFiller::bandLimitedTable(const WaveformPointer& waveform,
                                                                      qint64 harmonics)
{
    const Waveform& period = *waveform;
    return period.table(harmonics, [&period, harmonics] { return buildTable(period, harmonics, tableSizeFor(harmonics)); });
}

void ChannelFiller::fillArbitrary(double* dst, qint64 from, qint64 to, bool stream) const
{
    if (!arbitraryTable) {
        kernels::fillRun(dst, offset, to - from, stream);
        return;
    }
    const double* t = kernels::alignedCoefficients(arbitraryTable->constData());
    const double size = double(tableSize);
    const double step = size / r;
    qint64 anchor = from - from % positionStride;
    while (anchor < to) {
        // Position of the anchor in periods, reduced exactly, then the phase.
        double turns = std::fmod(double(anchor), r) / r + phaseTurns;
        if (turns >= 1.0)
            turns -= 1.0;
        const qint64 begin = std::max(anchor, from);
        const qint64 end = std::min(anchor + positionStride, to);
        kernels::arbitraryRun(dst + (begin - from), t, tableSize - 1, turns * size, step, begin - anchor, amplitude,
                              offset, end - begin, stream);
        anchor += positionStride;
    }
}

} // namespace synthesis
