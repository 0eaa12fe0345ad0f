#pragma once
// The one rate the whole signal path runs at. Devices, files and designs
// that meet another rate convert to and from it.

constexpr int kSampleRateHz = 11025;
constexpr double kSampleRate = kSampleRateHz;  // Hz, for the designs
