#pragma once
// Inner loops of the FIR and LMS stages. An AVX2/FMA version is chosen at
// start-up on processors that have it; the portable one runs everywhere.
// Sums use several partial accumulators, so they agree with a strict
// left-to-right sum to rounding (about 1e-15 of the sum of magnitudes).

// Sum of a[i]*b[i], i = 0..n-1.
double DotProduct(const double* a, const double* b, int n);

// Two dot products over windows one sample apart: out[0] = sum a[i]*b[i],
// out[1] = sum a[i+1]*b[i], i = 0..n-1 (a holds n+1 values). Each result is
// bit-identical to DotProduct's, so processing in pairs never changes the
// output; sharing the coefficient loads makes it faster.
void DotProduct2(const double* a, const double* b, int n, double* out);

// Four dot products over windows one sample apart: out[j] = sum a[i+j]*b[i],
// j = 0..3 (a holds n+3 values), each bit-identical to DotProduct's.
void DotProduct4(const double* a, const double* b, int n, double* out);

// h[i] = step*x[i] + h[i]*leak for i = 0..n-1 (each element rounded as
// written), and returns the sum of |h[i]| after the update.
double LmsUpdate(double* h, const double* x, int n, double step, double leak);

// Which kernel runs: "avx2-fma" or "portable".
const char* DotKernelName();

// For benchmarks and tests: force the portable kernel (true) or restore
// the automatic choice (false). Not for use while audio runs.
void ForcePortableKernel(bool portable);
