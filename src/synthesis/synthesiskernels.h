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

} // namespace kernels
} // namespace synthesis

#endif
