// Fourier transforms by FFTW. Its planner is not safe for two threads at once, so plans are made and
// destroyed under one lock; they are executed outside it. Plans are estimated (FFTW_ESTIMATE): made
// at once, without trial runs, and without touching the arrays.

#include "synthesisfft.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>

namespace synthesis {
namespace fft {

namespace {

std::mutex& plannerLock()
{
    static std::mutex lock;
    return lock;
}

// A plan made under the planner's lock, executed once and destroyed under it again.
template <typename Make>
void executeOnce(Make make)
{
    fftw_plan plan = nullptr;
    {
        std::lock_guard<std::mutex> locker(plannerLock());
        plan = make();
    }
    if (!plan)
        throw std::bad_alloc();
    fftw_execute(plan);
    std::lock_guard<std::mutex> locker(plannerLock());
    fftw_destroy_plan(plan);
}

} // namespace

void* allocate(std::size_t bytes)
{
    return fftw_malloc(bytes);
}

void release(void* memory)
{
    fftw_free(memory);
}

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

void transform(ComplexVector& data, int sign)
{
    if (data.empty())
        return;
    // std::complex<double> is laid out as FFTW's complex (two doubles, real first).
    auto* x = reinterpret_cast<fftw_complex*>(data.data());
    const int n = int(data.size());
    executeOnce([=] { return fftw_plan_dft_1d(n, x, x, sign > 0 ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_ESTIMATE); });
}

std::vector<Complex> realSpectrum(const double* values, qint64 n)
{
    if (n <= 0)
        return {};
    std::vector<double, Allocator<double>> in(values, values + n);
    ComplexVector out(size_t(n / 2 + 1));
    double* from = in.data();
    auto* to = reinterpret_cast<fftw_complex*>(out.data());
    executeOnce([=] { return fftw_plan_dft_r2c_1d(int(n), from, to, FFTW_ESTIMATE); });
    return std::vector<Complex>(out.begin(), out.end());
}

} // namespace fft
} // namespace synthesis
