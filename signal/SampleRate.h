#pragma once
// The stream the whole signal path runs on: one rate (devices, files and
// designs that meet another convert to and from it) and the block sizes a
// user may choose.

constexpr int kSampleRateHz = 11025;
constexpr double kSampleRate = kSampleRateHz;  // Hz, for the designs

// Frames per block: the window's box, the settings file and the engine.
constexpr int kMinBlock = 64;
constexpr int kMaxBlock = 8191;
constexpr int kDefaultBlock = 512;
inline bool BlockSizeAccepted(int n) { return n >= kMinBlock && n <= kMaxBlock; }

// Rates a sound device may be run at (converted to and from ours); 0 means
// our own rate at the device.
constexpr int kMinDeviceRateHz = 8000;
constexpr int kMaxDeviceRateHz = 192000;
constexpr bool DeviceRateAccepted(int hz) { return hz == 0 || (hz >= kMinDeviceRateHz && hz <= kMaxDeviceRateHz); }
