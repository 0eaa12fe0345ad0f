#pragma once
// What the notches may be: how many, how wide, where. The chain, the
// settings, the displays and the offline tool all bound them by these.

constexpr int kMaxNotches = 4;
constexpr double kNotchWidthHz = 50.0;  // at -3 dB
constexpr double kMinNotchHz = 50.0;    // Hz; centres outside are dropped
constexpr double kMaxNotchHz = 5400.0;  // below our Nyquist frequency, with room for the width
