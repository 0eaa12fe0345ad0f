#pragma once
// Inner loops of the FIR and LMS stages. An AVX2/FMA version is chosen at
// start-up on processors that have it; the portable one runs everywhere.
// Sums use several partial accumulators, so they agree with a strict
// left-to-right sum to rounding (about 1e-15 of the sum of magnitudes).

// Sum of a[i]*b[i], i = 0..n-1.
double DotProduct(const double* a, const double* b, int n);

// The FIR stages' outputs: out[j] = sum a[i+j]*b[i], i = 0..n-1, for
// j = 0..count-1 (a holds n+count-1 values). Every output is summed in one
// fixed order whatever `count` is (four partial sums by i mod 4, the last
// n mod 4 terms into the first), so a block gives exactly the bits of one
// output at a time. Windows are computed many per pass over the
// coefficients, which is what makes a long FIR fast.
void FirDots(const double* a, const double* b, int n, double* out, int count);

// How many outputs FirDots computes per pass with the chosen kernel; a FIR
// that hands it at least this many at a time runs at full speed.
int FirGroup();

// h[i] = step*x[i] + h[i]*leak for i = 0..n-1 (each element rounded as
// written), and returns the sum of |h[i]| after the update.
double LmsUpdate(double* h, const double* x, int n, double step, double leak);

// Which kernel runs: "avx2-fma" or "portable".
const char* DotKernelName();

// For benchmarks and tests: force the portable kernel (true) or restore
// the automatic choice (false). Not for use while audio runs.
void ForcePortableKernel(bool portable);
