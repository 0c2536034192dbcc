// Fourier transforms: iterative radix-2 for powers of two, Bluestein's chirp transform for the
// other lengths, and a real input of even length packed into a complex one of half the length.
// Twiddle factors are computed each from its own angle (no recurrences), so the error stays at a
// few units of the last place times log2(n).

#include "synthesisfft.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace synthesis {
namespace fft {

namespace {

constexpr double pi = 3.141592653589793238462643383279502884;

// a * b without the checks for infinities that the library's complex product makes (the values
// here are always finite).
inline Complex times(const Complex& a, const Complex& b)
{
    return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

// exp(-2 pi i k / n) for k < n / 2.
std::vector<Complex> twiddles(qint64 n)
{
    std::vector<Complex> w(static_cast<size_t>(std::max<qint64>(1, n / 2)));
    for (qint64 k = 0; k < n / 2; ++k) {
        const double angle = -2.0 * pi * double(k) / double(n);
        w[size_t(k)] = Complex(std::cos(angle), std::sin(angle));
    }
    return w;
}

// In place, n a power of two, with the twiddles of n; the inverse takes their conjugates.
void radix2(Complex* x, qint64 n, const std::vector<Complex>& w, bool inverse)
{
    if (n <= 1)
        return;
    for (qint64 i = 1, j = 0; i < n; ++i) {  // bit-reversed order
        qint64 bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (qint64 half = 1; half < n; half <<= 1) {
        const qint64 stride = n / (2 * half);  // twiddle step for this stage
        for (qint64 start = 0; start < n; start += 2 * half) {
            for (qint64 k = 0; k < half; ++k) {
                const Complex& f = w[size_t(k * stride)];
                const Complex t = times(inverse ? std::conj(f) : f, x[start + half + k]);
                const Complex u = x[start + k];
                x[start + k] = u + t;
                x[start + half + k] = u - t;
            }
        }
    }
}

// The forward transform of n complex values, any n >= 1.
std::vector<Complex> forward(std::vector<Complex> x)
{
    const qint64 n = qint64(x.size());
    if (isPowerOfTwo(n)) {
        radix2(x.data(), n, twiddles(n), false);
        return x;
    }
    // Bluestein: jk = (j^2 + k^2 - (k - j)^2) / 2, so
    // X[k] = c[k] * sum_j (x[j] c[j]) conj(c[k - j]) with c[j] = exp(-pi i j^2 / n),
    // a convolution done by transforms of a power-of-two length q >= 2n - 1. j^2 is reduced
    // modulo 2n in integers, so the chirp keeps its accuracy for large j.
    std::vector<Complex> chirp(static_cast<size_t>(n));
    for (qint64 j = 0; j < n; ++j) {
        const qint64 square = qint64((__int128(j) * j) % (2 * n));
        const double angle = -pi * double(square) / double(n);
        chirp[size_t(j)] = Complex(std::cos(angle), std::sin(angle));
    }
    const qint64 q = nextPowerOfTwo(2 * n - 1);
    const std::vector<Complex> w = twiddles(q);
    std::vector<Complex> a(static_cast<size_t>(q)), b(static_cast<size_t>(q));
    for (qint64 j = 0; j < n; ++j)
        a[size_t(j)] = times(x[size_t(j)], chirp[size_t(j)]);
    x = std::vector<Complex>();
    b[0] = std::conj(chirp[0]);
    for (qint64 j = 1; j < n; ++j)
        b[size_t(j)] = b[size_t(q - j)] = std::conj(chirp[size_t(j)]);
    radix2(a.data(), q, w, false);
    radix2(b.data(), q, w, false);
    for (qint64 k = 0; k < q; ++k)
        a[size_t(k)] = times(a[size_t(k)], b[size_t(k)]);
    b = std::vector<Complex>();
    radix2(a.data(), q, w, true);
    const double scale = 1.0 / double(q);
    a.resize(size_t(n));
    for (qint64 k = 0; k < n; ++k)
        a[size_t(k)] = times(chirp[size_t(k)], a[size_t(k)]) * scale;
    return a;
}

} // namespace

bool isPowerOfTwo(qint64 n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

qint64 nextPowerOfTwo(qint64 n)
{
    qint64 p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

void transformPowerOfTwo(std::vector<Complex>& data, int sign)
{
    const qint64 n = qint64(data.size());
    radix2(data.data(), n, twiddles(n), sign > 0);
}

std::vector<Complex> realSpectrum(const double* values, qint64 n)
{
    const qint64 harmonics = n / 2 + 1;
    if (n % 2 || n < 4) {
        std::vector<Complex> x(static_cast<size_t>(n));
        for (qint64 j = 0; j < n; ++j)
            x[size_t(j)] = values[j];
        x = forward(std::move(x));
        x.resize(size_t(harmonics));
        return x;
    }
    // Even n: z[j] = x[2j] + i x[2j + 1], m = n / 2 points. With Z its transform, the even and odd
    // samples have E[k] = (Z[k] + conj(Z[m - k])) / 2 and O[k] = (Z[k] - conj(Z[m - k])) / 2i,
    // and X[k] = E[k] + exp(-2 pi i k / n) O[k].
    const qint64 m = n / 2;
    std::vector<Complex> z(static_cast<size_t>(m));
    for (qint64 j = 0; j < m; ++j)
        z[size_t(j)] = Complex(values[2 * j], values[2 * j + 1]);
    z = forward(std::move(z));
    std::vector<Complex> out(static_cast<size_t>(harmonics));
    for (qint64 k = 0; k <= m; ++k) {
        const Complex zk = z[size_t(k % m)];
        const Complex zc = std::conj(z[size_t((m - k) % m)]);
        const Complex even = (zk + zc) * 0.5;
        const Complex diff = zk - zc;
        const Complex odd(diff.imag() * 0.5, -diff.real() * 0.5);  // diff / 2i
        const double angle = -2.0 * pi * double(k) / double(n);
        out[size_t(k)] = even + times(Complex(std::cos(angle), std::sin(angle)), odd);
    }
    return out;
}

} // namespace fft
} // namespace synthesis
