#ifndef SYNTHESISFFT_H
#define SYNTHESISFFT_H

#include <QtGlobal>

#include <complex>
#include <cstddef>
#include <new>
#include <vector>

// Discrete Fourier transforms for the arbitrary waveforms, by FFTW: the spectrum of a file's period
// when it is loaded, and the band-limited period table built from it. Any thread.
namespace synthesis {
namespace fft {

using Complex = std::complex<double>;

// Memory aligned as FFTW's vector code wants it.
void* allocate(std::size_t bytes);
void release(void* memory);

template <typename T>
struct Allocator
{
    using value_type = T;
    Allocator() = default;
    template <typename U>
    Allocator(const Allocator<U>&) {}
    T* allocate(std::size_t n)
    {
        void* p = fft::allocate(n * sizeof(T));
        if (!p)
            throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { fft::release(p); }
    template <typename U>
    bool operator==(const Allocator<U>&) const { return true; }
    template <typename U>
    bool operator!=(const Allocator<U>&) const { return false; }
};

using ComplexVector = std::vector<Complex, Allocator<Complex>>;

// True for 1, 2, 4, 8, ...
bool isPowerOfTwo(qint64 n);
// The smallest power of two that is at least n (n >= 1).
qint64 nextPowerOfTwo(qint64 n);

// In place: X[k] = sum over j of x[j] * exp(sign * 2 pi i j k / n), any n >= 1; not scaled. sign is
// -1 for the forward transform and +1 for the inverse.
void transform(ComplexVector& data, int sign);

// The forward transform of n real values, any n >= 1: the harmonics 0 .. n / 2 of
// X[k] = sum x[j] exp(-2 pi i j k / n), not scaled.
std::vector<Complex> realSpectrum(const double* values, qint64 n);

} // namespace fft
} // namespace synthesis

#endif
