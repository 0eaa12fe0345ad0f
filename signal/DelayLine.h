#pragma once
// A delay line kept twice in one array, so that the newest samples always lie
// contiguous for a vectorised dot product: one extra store per sample instead
// of shifting the whole line.

#include <cstring>

template <int Capacity>
struct DelayLine {
  alignas(64) double buf[2 * Capacity];
  int pos;  // next slot to write, 0..Capacity-1

  void Clear() {
    std::memset(buf, 0, sizeof buf);
    pos = 0;
  }
  void Push(double x) {
    buf[pos] = x;
    buf[pos + Capacity] = x;
    if (++pos == Capacity) pos = 0;
  }
  // `count` consecutive samples, oldest first, ending `back` pushes before the
  // newest: with back 0, [count-1] is the newest sample. count + back must
  // not exceed Capacity.
  const double* Window(int count, int back = 0) const { return buf + pos + Capacity - count - back; }
  // The sample `age` pushes old (0 = newest), age 0..Capacity-1.
  double Ago(int age) const { return buf[pos + Capacity - 1 - age]; }
};
