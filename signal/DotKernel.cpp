#include "signal/DotKernel.h"

#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TARVIK_HAVE_X86 1
#endif

namespace {

double DotPortable(const double* a, const double* b, int n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

typedef double Lanes2 __attribute__((vector_size(16)));

inline void Load2(Lanes2& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// W windows per pass, each summed exactly as DotPortable sums it: the
// lanes run along the terms (classes 0,1 in one accumulator, 2,3 in the
// other), so coefficients load in pairs with no shuffle, and windows j and
// j+2 share their loads. Two passes of four terms per loop turn keep the
// arithmetic units busy (8.2 multiply-adds per ns at 513 taps, where four
// windows a turn gave 7.6).
template <int W>
void FirGroupWPortable(const double* a, const double* b, int n, double* out) {
  Lanes2 acc01[W] = {}, acc23[W] = {};
  int i = 0;
#pragma GCC unroll 2
  for (; i + 4 <= n; i += 4) {
    Lanes2 h01, h23, x[W + 2];
    Load2(h01, b + i);
    Load2(h23, b + i + 2);
    for (int j = 0; j < W + 2; ++j) Load2(x[j], a + i + j);
    for (int j = 0; j < W; ++j) {
      acc01[j] += x[j] * h01;
      acc23[j] += x[j + 2] * h23;
    }
  }
  for (int j = 0; j < W; ++j) {
    double s0 = acc01[j][0], s1 = acc01[j][1], s2 = acc23[j][0], s3 = acc23[j][1];
    for (int t = i; t < n; ++t) s0 += a[t + j] * b[t];
    out[j] = (s0 + s1) + (s2 + s3);
  }
}

double LmsUpdatePortable(double* h, const double* x, int n, double step, double leak) {
  double s0 = 0.0, s1 = 0.0;
  int i = 0;
  for (; i + 2 <= n; i += 2) {
    h[i] = step * x[i] + h[i] * leak;
    h[i + 1] = step * x[i + 1] + h[i + 1] * leak;
    s0 += std::fabs(h[i]);
    s1 += std::fabs(h[i + 1]);
  }
  for (; i < n; ++i) {
    h[i] = step * x[i] + h[i] * leak;
    s0 += std::fabs(h[i]);
  }
  return s0 + s1;
}

#ifdef TARVIK_HAVE_X86
__attribute__((target("avx2,fma"))) inline double HorizontalSum(__m256d s0, __m256d s1, __m256d s2,
                                                                __m256d s3) {
  __m256d s = _mm256_add_pd(_mm256_add_pd(s0, s1), _mm256_add_pd(s2, s3));
  __m128d lo = _mm256_castpd256_pd128(s), hi = _mm256_extractf128_pd(s, 1);
  __m128d pair = _mm_add_pd(lo, hi);
  return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

__attribute__((target("avx2,fma"))) double DotAvx2(const double* a, const double* b, int n) {
  __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
  __m256d s2 = _mm256_setzero_pd(), s3 = _mm256_setzero_pd();
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
    s1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), _mm256_loadu_pd(b + i + 4), s1);
    s2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), _mm256_loadu_pd(b + i + 8), s2);
    s3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), _mm256_loadu_pd(b + i + 12), s3);
  }
  for (; i + 4 <= n; i += 4) s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), s0);
  double sum = HorizontalSum(s0, s1, s2, s3);
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

// FIR order, AVX2: lane k of one accumulator sums the terms i = k mod 4 in
// turn (fused multiply-add), the last n mod 4 terms go into lane 0. One
// chain of additions, so a single output is slow; the groups are the
// fast path and gives the same bits.
__attribute__((target("avx2,fma"))) double FirDot1Avx2(const double* a, const double* b, int n) {
  __m256d acc = _mm256_setzero_pd();
  int i = 0;
  for (; i + 4 <= n; i += 4) acc = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i), acc);
  alignas(32) double lane[4];
  _mm256_store_pd(lane, acc);
  for (; i < n; ++i) lane[0] = std::fma(a[i], b[i], lane[0]);
  return (lane[0] + lane[1]) + (lane[2] + lane[3]);
}

// Four windows per pass, in the lanes of one vector: one accumulator per
// class i mod 4, each coefficient broadcast once for all four.
__attribute__((target("avx2,fma"))) void FirGroup4Avx2(const double* a, const double* b, int n, double* out) {
  __m256d acc[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int k = 0; k < 4; ++k)
      acc[k] = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + k), _mm256_broadcast_sd(b + i + k), acc[k]);
  }
  for (; i < n; ++i) acc[0] = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), _mm256_broadcast_sd(b + i), acc[0]);
  _mm256_storeu_pd(out, _mm256_add_pd(_mm256_add_pd(acc[0], acc[1]), _mm256_add_pd(acc[2], acc[3])));
}

__attribute__((target("avx2,fma"))) double LmsUpdateAvx2(double* h, const double* x, int n, double step,
                                                         double leak) {
  const __m256d vStep = _mm256_set1_pd(step), vLeak = _mm256_set1_pd(leak);
  const __m256d absMask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
  __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    // Multiply and add rounded separately, as the portable kernel does.
    __m256d h0 = _mm256_add_pd(_mm256_mul_pd(vStep, _mm256_loadu_pd(x + i)),
                               _mm256_mul_pd(_mm256_loadu_pd(h + i), vLeak));
    __m256d h1 = _mm256_add_pd(_mm256_mul_pd(vStep, _mm256_loadu_pd(x + i + 4)),
                               _mm256_mul_pd(_mm256_loadu_pd(h + i + 4), vLeak));
    _mm256_storeu_pd(h + i, h0);
    _mm256_storeu_pd(h + i + 4, h1);
    s0 = _mm256_add_pd(s0, _mm256_and_pd(h0, absMask));
    s1 = _mm256_add_pd(s1, _mm256_and_pd(h1, absMask));
  }
  __m256d s = _mm256_add_pd(s0, s1);
  __m128d lo = _mm256_castpd256_pd128(s), hi = _mm256_extractf128_pd(s, 1);
  __m128d pair = _mm_add_pd(lo, hi);
  double sum = _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
  for (; i < n; ++i) {
    h[i] = step * x[i] + h[i] * leak;
    sum += std::fabs(h[i]);
  }
  return sum;
}

// Eight windows per pass, as FirGroup4Avx2 sums each four of them: the window loaded
// for lanes 4..7 is the one lanes 0..3 need four terms later, so it is kept
// in a register instead of loaded again (one load per multiply-add left).
__attribute__((target("avx2,fma"))) void FirGroup8Avx2(const double* a, const double* b, int n, double* out) {
  __m256d lo0 = _mm256_setzero_pd(), lo1 = lo0, lo2 = lo0, lo3 = lo0;
  __m256d hi0 = lo0, hi1 = lo0, hi2 = lo0, hi3 = lo0;
  __m256d x0 = _mm256_loadu_pd(a), x1 = _mm256_loadu_pd(a + 1);
  __m256d x2 = _mm256_loadu_pd(a + 2), x3 = _mm256_loadu_pd(a + 3);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    // Four coefficients in one load, spread by the shuffle unit, which the
    // multiply-adds do not use.
    const __m256d h4 = _mm256_loadu_pd(b + i);
    __m256d h = _mm256_permute4x64_pd(h4, 0x00), y = _mm256_loadu_pd(a + i + 4);
    lo0 = _mm256_fmadd_pd(x0, h, lo0);
    hi0 = _mm256_fmadd_pd(y, h, hi0);
    x0 = y;
    h = _mm256_permute4x64_pd(h4, 0x55), y = _mm256_loadu_pd(a + i + 5);
    lo1 = _mm256_fmadd_pd(x1, h, lo1);
    hi1 = _mm256_fmadd_pd(y, h, hi1);
    x1 = y;
    h = _mm256_permute4x64_pd(h4, 0xAA), y = _mm256_loadu_pd(a + i + 6);
    lo2 = _mm256_fmadd_pd(x2, h, lo2);
    hi2 = _mm256_fmadd_pd(y, h, hi2);
    x2 = y;
    h = _mm256_permute4x64_pd(h4, 0xFF), y = _mm256_loadu_pd(a + i + 7);
    lo3 = _mm256_fmadd_pd(x3, h, lo3);
    hi3 = _mm256_fmadd_pd(y, h, hi3);
    x3 = y;
  }
  for (; i < n; ++i) {
    const __m256d h = _mm256_broadcast_sd(b + i);
    lo0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), h, lo0);
    hi0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), h, hi0);
  }
  _mm256_storeu_pd(out, _mm256_add_pd(_mm256_add_pd(lo0, lo1), _mm256_add_pd(lo2, lo3)));
  _mm256_storeu_pd(out + 4, _mm256_add_pd(_mm256_add_pd(hi0, hi1), _mm256_add_pd(hi2, hi3)));
}

bool CpuHasAvx2Fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif

struct Kernels {
  double (*dot)(const double*, const double*, int);
  double (*lms)(double*, const double*, int, double, double);
  double (*firOne)(const double*, const double*, int);
  void (*firSmall)(const double*, const double*, int, double*);  // firSmallCount windows
  void (*firLarge)(const double*, const double*, int, double*);  // firLargeCount windows
  int firSmallCount, firLargeCount;
  const char* name;
};

Kernels Choose(bool portable) {
#ifdef TARVIK_HAVE_X86
  if (!portable && CpuHasAvx2Fma())
    return {DotAvx2, LmsUpdateAvx2, FirDot1Avx2, FirGroup4Avx2, FirGroup8Avx2, 4, 8, "avx2-fma"};
#endif
  (void)portable;
  return {DotPortable, LmsUpdatePortable, DotPortable, FirGroupWPortable<2>, FirGroupWPortable<4>, 2, 4, "portable"};
}

Kernels kernels = Choose(false);

}  // namespace

double DotProduct(const double* a, const double* b, int n) { return kernels.dot(a, b, n); }

void FirDots(const double* a, const double* b, int n, double* out, int count) {
  const Kernels& k = kernels;
  int j = 0;
  for (; j + k.firLargeCount <= count; j += k.firLargeCount) k.firLarge(a + j, b, n, out + j);
  for (; j + k.firSmallCount <= count; j += k.firSmallCount) k.firSmall(a + j, b, n, out + j);
  for (; j < count; ++j) out[j] = k.firOne(a + j, b, n);
}

int FirGroup() { return kernels.firLargeCount; }

double LmsUpdate(double* h, const double* x, int n, double step, double leak) {
  return kernels.lms(h, x, n, step, leak);
}

const char* DotKernelName() { return kernels.name; }

void ForcePortableKernel(bool portable) { kernels = Choose(portable); }
