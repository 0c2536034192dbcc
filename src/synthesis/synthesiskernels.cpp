// Vector kernels of the filling: one plain version and, on x86, SSE2, AVX and AVX-512 versions,
// chosen once by what the processor supports.

#include "synthesiskernels.h"

#include <algorithm>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#define SYNTHESIS_X86 1
// A multiplication and an addition stay two roundings: fused into one (AVX-512 has the
// instruction) they would give other samples than the plain versions.
#pragma GCC optimize("fp-contract=off")
#include <immintrin.h>
#endif

namespace synthesis {
namespace kernels {

namespace {

inline double sineValue(const double* c, const double* s, double as, double ac, double o, qint64 j)
{
    return (as * c[j] + ac * s[j]) + o;
}

using SineFn = void (*)(double*, const double*, const double*, double, double, double, qint64, bool);
using CopyFn = void (*)(double*, const double*, qint64, bool);
using FillFn = void (*)(double*, double, qint64, bool);

void sinePlain(double* out, const double* c, const double* s, double as, double ac, double o, qint64 n, bool)
{
    for (qint64 j = 0; j < n; ++j)
        out[j] = sineValue(c, s, as, ac, o, j);
}

void copyPlain(double* dst, const double* src, qint64 n, bool)
{
    if (n > 0)
        std::memcpy(dst, src, size_t(n) * sizeof(double));
}

void fillPlain(double* dst, double value, qint64 n, bool)
{
    std::fill(dst, dst + std::max<qint64>(n, 0), value);
}

#ifdef SYNTHESIS_X86

// Scalar steps until dst is aligned to `bytes` (needed by the streaming stores).
template <typename Step>
qint64 alignHead(const double* dst, qint64 n, quintptr bytes, Step step)
{
    qint64 j = 0;
    for (; j < n && (quintptr(dst + j) & (bytes - 1)) != 0; ++j)
        step(j);
    return j;
}

// Each vector step is computed once and then stored either way; the scalar tail is the plain kernel.
void sineSse2(double* out, const double* c, const double* s, double as, double ac, double o, qint64 n, bool stream)
{
    const __m128d vas = _mm_set1_pd(as), vac = _mm_set1_pd(ac), vo = _mm_set1_pd(o);
    qint64 j = stream ? alignHead(out, n, 16, [&](qint64 i) { out[i] = sineValue(c, s, as, ac, o, i); }) : 0;
    for (; j + 2 <= n; j += 2) {
        const __m128d v = _mm_add_pd(_mm_add_pd(_mm_mul_pd(vas, _mm_loadu_pd(c + j)), _mm_mul_pd(vac, _mm_loadu_pd(s + j))), vo);
        stream ? _mm_stream_pd(out + j, v) : _mm_storeu_pd(out + j, v);
    }
    if (stream)
        _mm_sfence();
    sinePlain(out + j, c + j, s + j, as, ac, o, n - j, false);
}

__attribute__((target("avx"))) void sineAvx(double* out, const double* c, const double* s, double as, double ac,
                                            double o, qint64 n, bool stream)
{
    const __m256d vas = _mm256_set1_pd(as), vac = _mm256_set1_pd(ac), vo = _mm256_set1_pd(o);
    qint64 j = stream ? alignHead(out, n, 32, [&](qint64 i) { out[i] = sineValue(c, s, as, ac, o, i); }) : 0;
    for (; j + 4 <= n; j += 4) {
        const __m256d v = _mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(vas, _mm256_loadu_pd(c + j)), _mm256_mul_pd(vac, _mm256_loadu_pd(s + j))), vo);
        stream ? _mm256_stream_pd(out + j, v) : _mm256_storeu_pd(out + j, v);
    }
    if (stream)
        _mm_sfence();
    sinePlain(out + j, c + j, s + j, as, ac, o, n - j, false);
}

__attribute__((target("avx512f"))) void sineAvx512(double* out, const double* c, const double* s, double as,
                                                   double ac, double o, qint64 n, bool stream)
{
    const __m512d vas = _mm512_set1_pd(as), vac = _mm512_set1_pd(ac), vo = _mm512_set1_pd(o);
    qint64 j = stream ? alignHead(out, n, 64, [&](qint64 i) { out[i] = sineValue(c, s, as, ac, o, i); }) : 0;
    for (; j + 8 <= n; j += 8) {
        const __m512d v = _mm512_add_pd(
            _mm512_add_pd(_mm512_mul_pd(vas, _mm512_loadu_pd(c + j)), _mm512_mul_pd(vac, _mm512_loadu_pd(s + j))), vo);
        stream ? _mm512_stream_pd(out + j, v) : _mm512_storeu_pd(out + j, v);
    }
    if (stream)
        _mm_sfence();
    sinePlain(out + j, c + j, s + j, as, ac, o, n - j, false);
}

void copySse2(double* dst, const double* src, qint64 n, bool stream)
{
    if (!stream)
        return copyPlain(dst, src, n, false);
    qint64 j = alignHead(dst, n, 16, [&](qint64 i) { dst[i] = src[i]; });
    for (; j + 2 <= n; j += 2)
        _mm_stream_pd(dst + j, _mm_loadu_pd(src + j));
    _mm_sfence();
    for (; j < n; ++j)
        dst[j] = src[j];
}

__attribute__((target("avx512f"))) void copyAvx512(double* dst, const double* src, qint64 n, bool stream)
{
    if (!stream)
        return copyPlain(dst, src, n, false);
    qint64 j = alignHead(dst, n, 64, [&](qint64 i) { dst[i] = src[i]; });
    for (; j + 8 <= n; j += 8)
        _mm512_stream_pd(dst + j, _mm512_loadu_pd(src + j));
    _mm_sfence();
    for (; j < n; ++j)
        dst[j] = src[j];
}

void fillSse2(double* dst, double value, qint64 n, bool stream)
{
    if (!stream)
        return fillPlain(dst, value, n, false);
    qint64 j = alignHead(dst, n, 16, [&](qint64 i) { dst[i] = value; });
    const __m128d v = _mm_set1_pd(value);
    for (; j + 2 <= n; j += 2)
        _mm_stream_pd(dst + j, v);
    _mm_sfence();
    for (; j < n; ++j)
        dst[j] = value;
}

#endif

struct Table
{
    SineFn sine = sinePlain;
    CopyFn copy = copyPlain;
    FillFn fill = fillPlain;

    Table()
    {
#ifdef SYNTHESIS_X86
        __builtin_cpu_init();
        sine = sineSse2;
        copy = copySse2;
        fill = fillSse2;
        if (__builtin_cpu_supports("avx"))
            sine = sineAvx;
        if (__builtin_cpu_supports("avx512f")) {
            sine = sineAvx512;
            copy = copyAvx512;
        }
#endif
    }
};

const Table& table()
{
    static const Table instance;
    return instance;
}

} // namespace

void sineRun(double* out, const double* c, const double* s, double as, double ac, double o, qint64 n, bool stream)
{
    table().sine(out, c, s, as, ac, o, n, stream);
}

void copyRun(double* dst, const double* src, qint64 n, bool stream)
{
    table().copy(dst, src, n, stream);
}

void fillRun(double* dst, double value, qint64 n, bool stream)
{
    table().fill(dst, value, n, stream);
}

} // namespace kernels
} // namespace synthesis
