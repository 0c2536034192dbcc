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

// Sample k of the arbitrary shape (see arbitraryRun). The vector versions below spell out the
// same operations in the same order.
inline double arbitraryValue(const double* c, qint64 mask, double start, double step, double k, double a, double o)
{
    const double position = start + k * step;
    const qint64 i = qint64(position);  // position >= 0: truncation is floor
    const double f = position - double(i);
    const double* e = c + 4 * (i & mask);
    const double v = e[0] + f * (e[1] + f * (e[2] + f * e[3]));
    return a * v + o;
}

using SineFn = void (*)(double*, const double*, const double*, double, double, double, qint64, bool);
using CopyFn = void (*)(double*, const double*, qint64, bool);
using FillFn = void (*)(double*, double, qint64, bool);
using ArbitraryFn = void (*)(double*, const double*, qint64, double, double, qint64, double, double, qint64, bool);

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

void arbitraryPlain(double* out, const double* t, qint64 mask, double start, double step, qint64 first, double a,
                    double o, qint64 n, bool)
{
    for (qint64 j = 0; j < n; ++j)
        out[j] = arbitraryValue(t, mask, start, step, double(first + j), a, o);
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

// GCC's own headers leave the unused operands of several AVX-512 instructions undefined and then
// warn about them once inlined: nothing here is read uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Four samples a step: their intervals' coefficients loaded as rows (one 32-byte load a sample)
// and turned into columns, the cubic as above.
__attribute__((target("avx2"))) void arbitraryAvx2(double* out, const double* c, qint64 mask, double start,
                                                   double step, qint64 first, double a, double o, qint64 n,
                                                   bool stream)
{
    const auto scalar = [&](qint64 i) { out[i] = arbitraryValue(c, mask, start, step, double(first + i), a, o); };
    qint64 j = stream ? alignHead(out, n, 32, scalar) : 0;
    const __m256d vstart = _mm256_set1_pd(start), vstep = _mm256_set1_pd(step);
    const __m256d va = _mm256_set1_pd(a), vo = _mm256_set1_pd(o), four = _mm256_set1_pd(4.0);
    const __m128i vmask = _mm_set1_epi32(int(mask));
    const double k0 = double(first + j);
    __m256d k = _mm256_set_pd(k0 + 3.0, k0 + 2.0, k0 + 1.0, k0);
    alignas(16) int e[4];
    for (; j + 4 <= n; j += 4) {
        const __m256d position = _mm256_add_pd(vstart, _mm256_mul_pd(k, vstep));
        const __m128i i = _mm256_cvttpd_epi32(position);
        const __m256d f = _mm256_sub_pd(position, _mm256_cvtepi32_pd(i));
        _mm_store_si128(reinterpret_cast<__m128i*>(e), _mm_slli_epi32(_mm_and_si128(i, vmask), 2));
        const __m256d r0 = _mm256_load_pd(c + e[0]), r1 = _mm256_load_pd(c + e[1]);
        const __m256d r2 = _mm256_load_pd(c + e[2]), r3 = _mm256_load_pd(c + e[3]);
        const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
        const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
        const __m256d y0 = _mm256_permute2f128_pd(t0, t2, 0x20), d0 = _mm256_permute2f128_pd(t1, t3, 0x20);
        const __m256d c2 = _mm256_permute2f128_pd(t0, t2, 0x31), c3 = _mm256_permute2f128_pd(t1, t3, 0x31);
        const __m256d v = _mm256_add_pd(
            y0, _mm256_mul_pd(f, _mm256_add_pd(d0, _mm256_mul_pd(f, _mm256_add_pd(c2, _mm256_mul_pd(f, c3))))));
        const __m256d r = _mm256_add_pd(_mm256_mul_pd(va, v), vo);
        stream ? _mm256_stream_pd(out + j, r) : _mm256_storeu_pd(out + j, r);
        k = _mm256_add_pd(k, four);
    }
    if (stream)
        _mm_sfence();
    for (; j < n; ++j)
        scalar(j);
}

// Two coefficient rows in one register: those of samples s and s + 2.
__attribute__((target("avx512f"), always_inline)) inline __m512d rowPair(const double* c, int s, int t)
{
    return _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_load_pd(c + s)), _mm256_load_pd(c + t), 1);
}

// Eight samples of x into out: rows in pairs (0, 2), (1, 3), (4, 6), (5, 7), so that the unpacks and
// one shuffle across the register give the columns in the samples' order.
__attribute__((target("avx512f"), always_inline)) inline __m512d arbitraryEight(const double* c, const int* e,
                                                                                __m512d f, __m512d va, __m512d vo)
{
    const __m512d r02 = rowPair(c, e[0], e[2]), r13 = rowPair(c, e[1], e[3]);
    const __m512d r46 = rowPair(c, e[4], e[6]), r57 = rowPair(c, e[5], e[7]);
    const __m512d t0 = _mm512_unpacklo_pd(r02, r13), t1 = _mm512_unpackhi_pd(r02, r13);
    const __m512d t2 = _mm512_unpacklo_pd(r46, r57), t3 = _mm512_unpackhi_pd(r46, r57);
    const __m512d y0 = _mm512_shuffle_f64x2(t0, t2, 0x88), c2 = _mm512_shuffle_f64x2(t0, t2, 0xDD);
    const __m512d d0 = _mm512_shuffle_f64x2(t1, t3, 0x88), c3 = _mm512_shuffle_f64x2(t1, t3, 0xDD);
    const __m512d v = _mm512_add_pd(
        y0, _mm512_mul_pd(f, _mm512_add_pd(d0, _mm512_mul_pd(f, _mm512_add_pd(c2, _mm512_mul_pd(f, c3))))));
    return _mm512_add_pd(_mm512_mul_pd(va, v), vo);
}

// Sixteen samples a step, in two halves of eight whose positions are computed together.
__attribute__((target("avx512f"))) void arbitraryAvx512(double* out, const double* c, qint64 mask, double start,
                                                        double step, qint64 first, double a, double o, qint64 n,
                                                        bool stream)
{
    const auto scalar = [&](qint64 i) { out[i] = arbitraryValue(c, mask, start, step, double(first + i), a, o); };
    qint64 j = stream ? alignHead(out, n, 64, scalar) : 0;
    const __m512d vstart = _mm512_set1_pd(start), vstep = _mm512_set1_pd(step);
    const __m512d va = _mm512_set1_pd(a), vo = _mm512_set1_pd(o);
    const __m512d eight = _mm512_set1_pd(8.0), sixteen = _mm512_set1_pd(16.0);
    const __m256i vmask = _mm256_set1_epi32(int(mask));
    const double k0 = double(first + j);
    __m512d k = _mm512_add_pd(_mm512_set1_pd(k0), _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0));
    alignas(32) int e[16];
    for (; j + 16 <= n; j += 16) {
        const __m512d p0 = _mm512_add_pd(vstart, _mm512_mul_pd(k, vstep));
        const __m512d p1 = _mm512_add_pd(vstart, _mm512_mul_pd(_mm512_add_pd(k, eight), vstep));
        const __m256i i0 = _mm512_cvttpd_epi32(p0), i1 = _mm512_cvttpd_epi32(p1);
        const __m512d f0 = _mm512_sub_pd(p0, _mm512_cvtepi32_pd(i0));
        const __m512d f1 = _mm512_sub_pd(p1, _mm512_cvtepi32_pd(i1));
        _mm256_store_si256(reinterpret_cast<__m256i*>(e), _mm256_slli_epi32(_mm256_and_si256(i0, vmask), 2));
        _mm256_store_si256(reinterpret_cast<__m256i*>(e + 8), _mm256_slli_epi32(_mm256_and_si256(i1, vmask), 2));
        const __m512d r0 = arbitraryEight(c, e, f0, va, vo), r1 = arbitraryEight(c, e + 8, f1, va, vo);
        if (stream) {
            _mm512_stream_pd(out + j, r0);
            _mm512_stream_pd(out + j + 8, r1);
        } else {
            _mm512_storeu_pd(out + j, r0);
            _mm512_storeu_pd(out + j + 8, r1);
        }
        k = _mm512_add_pd(k, sixteen);
    }
    if (stream)
        _mm_sfence();
    for (; j < n; ++j)
        scalar(j);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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
    ArbitraryFn arbitrary = arbitraryPlain;

    Table()
    {
#ifdef SYNTHESIS_X86
        __builtin_cpu_init();
        sine = sineSse2;
        copy = copySse2;
        fill = fillSse2;
        if (__builtin_cpu_supports("avx"))
            sine = sineAvx;
        if (__builtin_cpu_supports("avx2"))
            arbitrary = arbitraryAvx2;
        if (__builtin_cpu_supports("avx512f")) {
            sine = sineAvx512;
            copy = copyAvx512;
            arbitrary = arbitraryAvx512;
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

void arbitraryRun(double* out, const double* entries, qint64 mask, double start, double step, qint64 first, double a,
                  double o, qint64 n, bool stream)
{
    table().arbitrary(out, entries, mask, start, step, first, a, o, n, stream);
}

} // namespace kernels
} // namespace synthesis
