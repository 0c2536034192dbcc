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
// The arbitrary shape: out[j] = a * g(x) + o for j < n, g the cubic Hermite interpolation of a
// table of values and derivatives (per table step, interleaved: value, derivative, value, ...) at
// x = start + (first + j) * step. The entry of x is floor(x) & mask; the table holds one entry
// more than mask + 1, so that the last interval needs no wrap. x must stay below 2^31.
void arbitraryRun(double* out, const double* table, qint64 mask, double start, double step, qint64 first,
                  double a, double o, qint64 n, bool stream);

} // namespace kernels
} // namespace synthesis

#endif
