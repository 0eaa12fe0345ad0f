#pragma once
// Inner loops of the FIR and LMS stages. An AVX2/FMA version is chosen at
// start-up on processors that have it; the portable one runs everywhere.
// Sums use several partial accumulators, so they agree with a strict
// left-to-right sum to rounding (about 1e-15 of the sum of magnitudes).

// Sum of a[i]*b[i], i = 0..n-1.
double DotProduct(const double* a, const double* b, int n);

// h[i] = step*x[i] + h[i]*leak for i = 0..n-1 (each element rounded as
// written), and returns the sum of |h[i]| after the update.
double LmsUpdate(double* h, const double* x, int n, double step, double leak);

// Which kernel runs: "avx2-fma" or "portable".
const char* DotKernelName();

// For benchmarks and tests: force the portable kernel (true) or restore
// the automatic choice (false). Not for use while audio runs.
void ForcePortableKernel(bool portable);
