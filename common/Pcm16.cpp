#include "common/Pcm16.h"

void SamplesToPcm16(const double* in, std::int16_t* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = SampleToPcm16(in[i]);
}
