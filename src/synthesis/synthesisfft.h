#ifndef SYNTHESISFFT_H
#define SYNTHESISFFT_H

#include <QtGlobal>

#include <complex>
#include <vector>

// Discrete Fourier transforms for the arbitrary waveforms: the spectrum of a file's period when it
// is loaded, and the band-limited period table built from it for each synthesis.
namespace synthesis {
namespace fft {

using Complex = std::complex<double>;

// True for 1, 2, 4, 8, ...
bool isPowerOfTwo(qint64 n);
// The smallest power of two that is at least n (n >= 1).
qint64 nextPowerOfTwo(qint64 n);

// In place: X[k] = sum over j of x[j] * exp(sign * 2 pi i j k / n), for n a power of two; not
// scaled. sign is -1 for the forward transform and +1 for the inverse.
void transformPowerOfTwo(std::vector<Complex>& data, int sign);

// The forward transform of n real values, any n >= 1 (powers of two directly, other lengths by
// Bluestein's chirp transform over a power of two of at least 2n - 1): the harmonics 0 .. n / 2
// of X[k] = sum x[j] exp(-2 pi i j k / n), not scaled.
std::vector<Complex> realSpectrum(const double* values, qint64 n);

} // namespace fft
} // namespace synthesis

#endif
