#ifndef SYNTHESISKERNELS_H
#define SYNTHESISKERNELS_H

#include <QtGlobal>

// The innermost loops of filling, in the widest vector instructions the processor has (chosen
// once at run time). Every variant computes the same operations in the same order, so the
// samples do not depend on the processor. With `stream` the results are stored past the cache:
// for destinations that will not be read again soon, which then need not be read first.
namespace synthesis {
namespace kernels {

// out[j] = (as * c[j] + ac * s[j]) + o for j < n.
void sineRun(double* out, const double* c, const double* s, double as, double ac, double o, qint64 n,
             bool stream);
// dst[j] = src[j] for j < n.
void copyRun(double* dst, const double* src, qint64 n, bool stream);
// dst[j] = value for j < n.
void fillRun(double* dst, double value, qint64 n, bool stream);
// The arbitrary shape: out[j] = a * g(x) + o for j < n, g the cubic of the interval holding
// x = start + (first + j) * step: with i = floor(x) & mask and f = x - floor(x),
// g = y0 + f * (d0 + f * (c2 + f * c3)) from the interval's four coefficients at
// coefficients[4 * i] (the value and derivative at its start, and c2 = 3 dy - 2 d0 - d1,
// c3 = d0 + d1 - 2 dy of the values and derivatives at its two ends). x must stay below 2^31;
// coefficients as alignedCoefficients gives them.
void arbitraryRun(double* out, const double* coefficients, qint64 mask, double start, double step, qint64 first,
                  double a, double o, qint64 n, bool stream);
// Coefficients of the intervals live in a buffer of coefficientsPerInterval doubles an interval and
// coefficientsPadding more, from the first address of it aligned to an interval (32 bytes).
constexpr qint64 coefficientsPerInterval = 4;
constexpr qint64 coefficientsPadding = 4;
template <typename T>
T* alignedCoefficients(T* buffer)
{
    return reinterpret_cast<T*>((quintptr(buffer) + 31) & ~quintptr(31));
}

} // namespace kernels
} // namespace synthesis

#endif
