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

void Dot2Portable(const double* a, const double* b, int n, double* out) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  double t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    t0 += a[i + 1] * b[i];
    s1 += a[i + 1] * b[i + 1];
    t1 += a[i + 2] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    t2 += a[i + 3] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
    t3 += a[i + 4] * b[i + 3];
  }
  for (; i < n; ++i) {
    s0 += a[i] * b[i];
    t0 += a[i + 1] * b[i];
  }
  out[0] = (s0 + s1) + (s2 + s3);
  out[1] = (t0 + t1) + (t2 + t3);
}

// Four windows one sample apart, each summed exactly as DotPortable sums
// it. The outputs are the lanes of GCC's generic two-wide vectors (SSE2 on
// any x86-64, NEON elsewhere), so no sum is reordered.
typedef double Lanes2 __attribute__((vector_size(16)));

inline void Load2(Lanes2& v, const double* p) { std::memcpy(&v, p, sizeof v); }

void Dot4Portable(const double* a, const double* b, int n, double* out) {
  Lanes2 lo[4] = {}, hi[4] = {};  // [accumulator]: windows 0 and 1, windows 2 and 3
  int i = 0;
  Lanes2 x;
  for (; i + 4 <= n; i += 4) {
    for (int k = 0; k < 4; ++k) {
      Load2(x, a + i + k);
      lo[k] += x * b[i + k];
      Load2(x, a + i + k + 2);
      hi[k] += x * b[i + k];
    }
  }
  for (; i < n; ++i) {
    Load2(x, a + i);
    lo[0] += x * b[i];
    Load2(x, a + i + 2);
    hi[0] += x * b[i];
  }
  const Lanes2 sumLo = (lo[0] + lo[1]) + (lo[2] + lo[3]), sumHi = (hi[0] + hi[1]) + (hi[2] + hi[3]);
  std::memcpy(out, &sumLo, sizeof sumLo);
  std::memcpy(out + 2, &sumHi, sizeof sumHi);
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

// Mirrors DotAvx2 term for term for each of the two windows.
__attribute__((target("avx2,fma"))) void Dot2Avx2(const double* a, const double* b, int n, double* out) {
  __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
  __m256d s2 = _mm256_setzero_pd(), s3 = _mm256_setzero_pd();
  __m256d t0 = _mm256_setzero_pd(), t1 = _mm256_setzero_pd();
  __m256d t2 = _mm256_setzero_pd(), t3 = _mm256_setzero_pd();
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256d h = _mm256_loadu_pd(b + i);
    s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), h, s0);
    t0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 1), h, t0);
    h = _mm256_loadu_pd(b + i + 4);
    s1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 4), h, s1);
    t1 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 5), h, t1);
    h = _mm256_loadu_pd(b + i + 8);
    s2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 8), h, s2);
    t2 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 9), h, t2);
    h = _mm256_loadu_pd(b + i + 12);
    s3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 12), h, s3);
    t3 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 13), h, t3);
  }
  for (; i + 4 <= n; i += 4) {
    __m256d h = _mm256_loadu_pd(b + i);
    s0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i), h, s0);
    t0 = _mm256_fmadd_pd(_mm256_loadu_pd(a + i + 1), h, t0);
  }
  double u = HorizontalSum(s0, s1, s2, s3);
  double v = HorizontalSum(t0, t1, t2, t3);
  for (; i < n; ++i) {
    u += a[i] * b[i];
    v += a[i + 1] * b[i];
  }
  out[0] = u;
  out[1] = v;
}

// Four windows one sample apart as two pairs: a single pass holding all
// four windows' accumulators (sixteen registers) ran slower than the pairs
// at every tap count measured, so the pairs stay.
__attribute__((target("avx2,fma"))) void Dot4Avx2(const double* a, const double* b, int n, double* out) {
  Dot2Avx2(a, b, n, out);
  Dot2Avx2(a + 2, b, n, out + 2);
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

bool CpuHasAvx2Fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif

struct Kernels {
  double (*dot)(const double*, const double*, int);
  void (*dot2)(const double*, const double*, int, double*);
  void (*dot4)(const double*, const double*, int, double*);
  double (*lms)(double*, const double*, int, double, double);
  const char* name;
};

Kernels Choose(bool portable) {
#ifdef TARVIK_HAVE_X86
  if (!portable && CpuHasAvx2Fma()) return {DotAvx2, Dot2Avx2, Dot4Avx2, LmsUpdateAvx2, "avx2-fma"};
#endif
  (void)portable;
  return {DotPortable, Dot2Portable, Dot4Portable, LmsUpdatePortable, "portable"};
}

Kernels kernels = Choose(false);

}  // namespace

double DotProduct(const double* a, const double* b, int n) { return kernels.dot(a, b, n); }

void DotProduct2(const double* a, const double* b, int n, double* out) { kernels.dot2(a, b, n, out); }

void DotProduct4(const double* a, const double* b, int n, double* out) { kernels.dot4(a, b, n, out); }

double LmsUpdate(double* h, const double* x, int n, double step, double leak) {
  return kernels.lms(h, x, n, step, leak);
}

const char* DotKernelName() { return kernels.name; }

void ForcePortableKernel(bool portable) { kernels = Choose(portable); }
