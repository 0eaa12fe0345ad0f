#pragma once
// Conversion of samples (doubles in 16-bit units) to 16-bit PCM, shared by
// the live playback path and the offline tool.

#include <cmath>
#include <cstdint>

// Truncates toward zero and saturates to -32768..32767, so an overshoot
// clips instead of wrapping round to a full-scale click; NaN gives 0.
inline std::int16_t SampleToPcm16(double x) {
  if (!(x == x)) return 0;
  if (x >= 32767.0) return 32767;
  if (x <= -32768.0) return -32768;
  return static_cast<std::int16_t>(x);  // truncates toward zero, in range
}

void SamplesToPcm16(const double* in, std::int16_t* out, int count);
